<%
' Keeps one component in Application for every page: "http", a
' Velmora32.HTTP, or "process", a Velmora32.Process that read this request's
' upload. Answers what the object holds, for the client to check against.
Dim what, h, p
' A static file of this site, which the HTTP object downloads.
Function PlainUrl()
  PlainUrl = "http://127.0.0.1:" & Request.ServerVariables("SERVER_PORT") & "/test/plain.txt"
End Function

what = Request.QueryString("what")
Response.ContentType = "text/plain"
If what = "http" Then
  Set h = Server.CreateObject("Velmora32.HTTP")
  h.UserAgent = "agent-0"
  Application("plainUrl") = PlainUrl
  Application("plain") = h.DownloadData(PlainUrl)
  Set Application("http") = h
  Response.Write "kept http"
ElseIf what = "process" Then
  Set p = Server.CreateObject("Velmora32.Process")
  p.Read
  Set Application("process") = p
  Response.Write "kept process with " & p.VarCount & " variables and " & p.FileQty & " file"
Else
  Response.Status = "400 Bad Request"
End If
%>
