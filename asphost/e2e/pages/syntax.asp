<p>
<%
If Then
%>
