<% Option Explicit %>
<html>
<%
Dim a
a = 1 / 0
%>
</html>
