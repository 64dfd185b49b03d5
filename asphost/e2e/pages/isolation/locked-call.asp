<%
' Holds Application.Lock for "wait" milliseconds, then calls the upload object
' kept in Application. Answers what the call said.
Dim start, count
Application.Lock
start = Timer
Do While Timer - start < CLng(Request.QueryString("wait")) / 1000 And Timer >= start
Loop
On Error Resume Next
count = Application("reader").VarCount
If Err.Number = 0 Then Response.Write "count " & count Else Response.Write "failed: " & Err.Description
On Error GoTo 0
Application.UnLock
%>
