<%
' Reads this request's upload with progress under ProgressID "id" and keeps
' the object in Application("p") (store=application) or Session("p")
' (store=session), beside a plain item "z". Then, with how=remove or
' how=empty, the object leaves the store (Contents.Remove, or the item set to
' Empty) while its release removes the progress item. Answers the items.
Dim id, store, how, Upload, items
id = Request.QueryString("id")
store = Request.QueryString("store")
how = Request.QueryString("how")
Response.ContentType = "text/plain"
Set Upload = Server.CreateObject("Velmora32.Process")
Upload.ProgressID = id
Upload.ShowProgress = True
Upload.Read
If store = "session" Then
  Set items = Session
Else
  Set items = Application
End If
Set items("p") = Upload
items("z") = "kept"
Set Upload = Nothing
Response.Write "progress " & Application(id) & vbCrLf
Select Case how
Case "remove": items.Contents.Remove "p"
Case "empty": items("p") = Empty
End Select
Response.Write "p " & TypeName(items("p")) & vbCrLf
Response.Write "z " & items("z") & vbCrLf
Response.Write "progress after [" & Application(id) & "]" & vbCrLf
%>
