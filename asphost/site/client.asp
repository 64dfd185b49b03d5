<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="layout.inc" -->
<%
' The HTTP client object: sends a stored file to receive.asp of this site
' as a multipart/form-data POST, and shows what the server answered.
Dim Http, fso, file, name, url, sent

Set fso = Server.CreateObject("Scripting.FileSystemObject")
name = Request.QueryString("file")
PageHeader "HTTP client"

If name = "" Then
%>
<p>Choose a stored file to send:</p>
<ul id="stored">
<%
  If fso.FolderExists(UploadFolder()) Then
    For Each file In fso.GetFolder(UploadFolder()).Files
%>
  <li><a href="client.asp?file=<%= Server.URLEncode(file.Name) %>"><%= Server.HTMLEncode(file.Name) %></a> (<%= file.Size %> bytes)</li>
<%
    Next
  End If
%>
</ul>
<%
ElseIf InStr(name, "\") > 0 Or InStr(name, "/") > 0 Or Not fso.FileExists(UploadFolder() & name) Then
%>
<p class="error">There is no stored file of that name.</p>
<%
Else
  url = "http://127.0.0.1:" & Request.ServerVariables("SERVER_PORT") & "/receive.asp"
  Set Http = Server.CreateObject("Velmora32.HTTP")
  Http.TagName = "file"
  Http.AddFormVar "sender", "client.asp"
  sent = Http.UploadFile(url, UploadFolder() & name)
%>
<table id="exchange">
<tr><th>Sent</th><td><%= Server.HTMLEncode(name) %> to <code><%= Server.HTMLEncode(url) %></code></td></tr>
<tr><th>UploadFile</th><td><% If sent Then Response.Write "True" Else Response.Write "False" %></td></tr>
<tr><th>ReturnCode</th><td id="code"><%= Http.ReturnCode %></td></tr>
<tr><th>ReturnFile</th><td id="answer"><pre><%= Server.HTMLEncode(Http.ReturnFile) %></pre></td></tr>
</table>
<%
  Set Http = Nothing
End If

PageFooter
%>
