<%
' How far the upload named by ProgressID has come, in percent: the value
' the upload object keeps in the Application collection while it reads.
' Empty before the upload has started and once it has ended, and for an ID
' the upload forms do not make (no other Application item is ever shown).
Response.ContentType = "text/plain"
Response.CacheControl = "no-cache"
Dim progressId
progressId = ProgressIDFrom(Request.QueryString("ProgressID"))
If progressId <> "" Then Response.Write Application(progressId)
%><!-- #include file="progress.inc" -->