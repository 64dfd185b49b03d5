<%@ Language="JScript" %>
<%
var name = String(Request.QueryString("name"));
var items = [];
for (var i = 1; i <= 3; i++) items.push(name + i);
%>
<p><%= items.join(", ") %></p>
<% if (name == "boom") { undefinedFunction(); } %>
