<%
' How far the upload named by ProgressID has come, in percent: the value
' the upload object keeps in the Application collection while it reads.
' Empty before the upload has started and once it has ended.
Response.ContentType = "text/plain"
Response.CacheControl = "no-cache"
Response.Write Application(Request.QueryString("ProgressID"))
%>
