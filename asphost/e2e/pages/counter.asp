<%
' A counter shared by all pages, changed and read under Application.Lock:
' read after UnLock, another page's increment could come in between, and two
' pages would print the same value.
Dim hits
Application.Lock
Application("hits") = Application("hits") + 1
hits = Application("hits")
Application.UnLock
Response.Write hits
%>