<%
' The other end of client.asp: takes one uploaded file and answers with a
' line of plain text saying what arrived.
Dim Upload
Set Upload = Server.CreateObject("Velmora32.Process")
Upload.Read
Response.ContentType = "text/plain"
If Upload.FileQty = 0 Then
  Response.Status = "400 Bad Request"
  Response.Write "no file received"
Else
  Response.Write "received " & Upload.FileName(0) & " (" & Upload.FileSize(0) & " bytes, " & _
                 Upload.ContentType(0) & ") from " & Upload.Value("sender")
End If
%>
