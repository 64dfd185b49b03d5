<%
' A counter shared by all pages, changed under Application.Lock.
Application.Lock
Application("hits") = Application("hits") + 1
Application.UnLock
Response.Write Application("hits")
%>