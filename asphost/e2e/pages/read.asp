<%
' Reads the whole body in blocks as an upload component does, and drops it.
Dim left, chunk, count
left = Request.TotalBytes
Do While left > 0
  count = 102400
  If left < count Then count = left
  chunk = Request.BinaryRead(count)
  If count = 0 Then Exit Do
  left = left - count
Loop
Response.Write "read " & (Request.TotalBytes - left)
%>
