<%
' Keeps one upload object in Application for reader.asp and locked-call.asp.
Set Application("reader") = Server.CreateObject("Velmora32.Process")
Response.Write "kept"
%>
