<%
' Response members a host must honour.
Select Case Request.QueryString("do")
  Case "redirect"
    Response.Redirect "/test/form.asp?q=moved"
    Response.Write "not reached"
  Case "end"
    Response.Write "one"
    Response.End
    Response.Write "two"
  Case "status"
    Response.Status = "418 I'm a teapot"
    Response.AddHeader "X-Velmora", "yes"
    Response.Write "short and stout"
  Case "inject"
    Response.AddHeader "X-Bad", "a" & vbCrLf & "Injected: 1"
  Case "flush"
    Response.Write "first;"
    Response.Flush
    Response.Write "second"
  Case "unbuffered"
    Response.Buffer = False
    Response.Write "a;"
    Response.Write "b"
  Case "connected"
    Response.Write Response.IsClientConnected
End Select
%>