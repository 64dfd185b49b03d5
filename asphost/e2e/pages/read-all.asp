<%
' Reads the whole body in one call, as many pages do.
Dim data
data = Request.BinaryRead(Request.TotalBytes)
Response.Write "read " & Request.TotalBytes
%>
