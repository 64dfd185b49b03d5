<%
' Stores an object of the kind "what" names in Application, or in Session
' with store=session, and calls it from there. Answers "stored <answer>" or
' "refused <number> <source>: <description>".
Class Tally
  Public Count
End Class

Dim what, store, value, answer, kept
what = Request.QueryString("what")
store = Request.QueryString("store")
Response.ContentType = "text/plain"
Select Case what
Case "dictionary"
  Set value = Server.CreateObject("Scripting.Dictionary")
  value.Add "k", "dictionary"
Case "class"
  Set value = New Tally
  value.Count = "class"
Case "array"
  Set value = Server.CreateObject("Scripting.Dictionary")
  value.Add "k", "array"
  value = Array(1, value)
Case "component"
  Set value = Server.CreateObject("Velmora32.HTTP")
  value.UserAgent = "component"
End Select

On Error Resume Next
If store = "session" Then
  If IsObject(value) Then Set Session("kept") = value Else Session("kept") = value
Else
  If IsObject(value) Then Set Application("kept") = value Else Application("kept") = value
End If
If Err.Number <> 0 Then
  Response.Write "refused " & Hex(Err.Number) & " " & Err.Source & ": " & Err.Description
  Response.End
End If
On Error GoTo 0

If store = "session" Then Set kept = Session("kept") Else Set kept = Application("kept")
Select Case what
Case "dictionary": answer = kept.Item("k")
Case "class": answer = kept.Count
Case "component": answer = kept.UserAgent
End Select
Response.Write "stored " & answer
%>
