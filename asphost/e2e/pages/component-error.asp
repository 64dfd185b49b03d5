<%
Dim Upload
Set Upload = Server.CreateObject("Velmora32.Process")
Response.Write Upload.FileName(3)
%>
