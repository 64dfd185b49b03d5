<%
' Form and QueryString as a page reads them.
Response.ContentType = "text/plain"
Response.Write "q=" & Request.QueryString("q") & vbLf
Response.Write "a=" & Request.Form("a") & vbLf
Response.Write "count(a)=" & Request.Form("a").Count & vbLf
Response.Write "text=" & Request.Form("text") & vbLf
Response.Write "method=" & Request.ServerVariables("REQUEST_METHOD") & vbLf
Response.Write "ua=" & Request.ServerVariables("HTTP_USER_AGENT") & vbLf
%>