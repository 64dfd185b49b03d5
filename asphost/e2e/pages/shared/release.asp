<%
' Takes the object that progress.asp kept out of Application, as another page:
' how=remove or how=empty.
Select Case Request.QueryString("how")
Case "remove": Application.Contents.Remove "p"
Case "empty": Application("p") = Empty
End Select
Response.ContentType = "text/plain"
Response.Write "released"
%>
