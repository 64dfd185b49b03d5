<%
' Reads this request's upload publishing progress under the ProgressID the
' client chose (as a page that does not check it would), and answers what
' Application holds under that key before, after Read and after the object's
' release, by type name and value.
Dim id, Upload
id = Request.QueryString("id")
Response.ContentType = "text/plain"

Function Shown()
  If IsObject(Application(id)) Then
    Shown = TypeName(Application(id))
  Else
    Shown = TypeName(Application(id)) & " " & Application(id)
  End If
End Function

Select Case Request.QueryString("seed")
Case "number": Application(id) = 42
Case "text": Application(id) = "site text"
Case "object": Set Application(id) = Server.CreateObject("Velmora32.HTTP")
End Select
Response.Write "before " & Shown() & vbCrLf
Set Upload = Server.CreateObject("Velmora32.Process")
Upload.ProgressID = id
Upload.ShowProgress = True
Upload.Read
Response.Write "read " & Shown() & vbCrLf
Set Upload = Nothing
Response.Write "released " & Shown() & vbCrLf
%>
