<%
' The items a page finds in Application, one a line: key and type name, and
' the value of those that are neither objects nor arrays.
Dim key
Response.ContentType = "text/plain"
For Each key In Application.Contents
  If IsObject(Application(key)) Or IsArray(Application(key)) Then
    Response.Write key & " " & TypeName(Application(key)) & vbCrLf
  Else
    Response.Write key & " " & TypeName(Application(key)) & " " & Application(key) & vbCrLf
  End If
Next
Response.Write "end"
%>
