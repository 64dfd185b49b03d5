<%
' Runaway recursion, with Application locked: the page must end alone, and
' its lock with it. language=jscript recurses in JScript instead.
Function Deeper(n)
  Deeper = Deeper(n + 1) + 1
End Function
Application.Lock
Application("overflowing") = Application("overflowing") + 1
Response.Write "started"
Deeper 0
Response.Write "never"
%>
