<html>
<body>
<%
Dim x
x = 1
Response.Write "before"
x = x / 0
Response.Write "after"
%>
</body>
</html>
