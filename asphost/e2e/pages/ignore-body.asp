<%
' Never reads the body it was sent.
Response.Write "ignored " & Request.TotalBytes
%>