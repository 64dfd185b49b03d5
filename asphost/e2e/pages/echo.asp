<%
' Answers with the declared length, then the body bytes as read.
Response.ContentType = "application/octet-stream"
Dim count
count = Request.TotalBytes
Response.Write count & ":"
If count > 0 Then Response.BinaryWrite Request.BinaryRead(count)
%>