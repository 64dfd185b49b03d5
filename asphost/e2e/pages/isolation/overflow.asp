<%
' Runaway recursion, with Application locked: the page must end alone, and
' its lock with it. With writes=1 each level also writes Application.
Function Deeper(n)
  Deeper = Deeper(n + 1) + 1
End Function
Function DeeperWriting(n)
  Application("depth") = n
  DeeperWriting = DeeperWriting(n + 1) + 1
End Function
Application.Lock
Application("overflowing") = Application("overflowing") + 1
Response.Write "started"
If Request.QueryString("writes") = "1" Then DeeperWriting 0 Else Deeper 0
Response.Write "never"
%>
