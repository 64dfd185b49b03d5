<%@ Language="JScript" %>
<!-- #include file="settings-js.inc" -->
<%
// The HTTP client object, from JScript: sends a stored file to a web page
// as a multipart/form-data POST, with a form variable beside it, and shows
// what the server answered: here upload.asp beside this page, which stores
// a copy. Never take the target from the request: the page would then send
// the server's files wherever a visitor asks.
function param(name) {
  var value = Request.QueryString(name).Item();
  return value === undefined ? "" : String(value);
}
function html(text) { return Server.HTMLEncode(String(text)); }

var fso = Server.CreateObject("Scripting.FileSystemObject");
var name = param("file");
// The address the request came in on, not the Host header that the client
// chose. A site bound to a host name only needs its name here instead.
var address = String(Request.ServerVariables("LOCAL_ADDR").Item());
if (address.indexOf(":") >= 0) address = "[" + address + "]";
var page = String(Request.ServerVariables("URL").Item());
var target = "http://" + address + ":" + Request.ServerVariables("SERVER_PORT").Item() +
    page.substring(0, page.lastIndexOf("/") + 1) + "upload.asp";
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>HTTP client</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<main>
<h1>HTTP client</h1>
<%
if (name == "") {
%>
<p>Choose a stored file to send to <code><%= html(target) %></code>:</p>
<ul id="stored">
<%
  if (fso.FolderExists(uploadFolder)) {
    for (var files = new Enumerator(fso.GetFolder(uploadFolder).Files); !files.atEnd(); files.moveNext()) {
      var file = files.item();
%>
  <li><a href="client.asp?file=<%= Server.URLEncode(file.Name) %>"><%= html(file.Name) %></a> (<%= file.Size %> bytes)</li>
<%
    }
  }
%>
</ul>
<%
} else if (/[\\\/:]/.test(name) || !fso.FileExists(uploadFolder + name)) {
%>
<p class="error">There is no stored file of that name.</p>
<%
} else {
  var http = Server.CreateObject("Velmora32.HTTP");
  http.TagName = "file";
  http.AddFormVar("author", "client.asp");
  var sent = http.UploadFile(target, uploadFolder + name);
%>
<table id="exchange">
<tr><th>Sent</th><td><%= html(name) %> to <code><%= html(target) %></code></td></tr>
<tr><th>UploadFile</th><td id="sent"><%= sent ? "True" : "False" %></td></tr>
<tr><th>ReturnCode</th><td id="code"><%= http.ReturnCode %></td></tr>
<tr><th>ReturnFile</th><td id="answer"><pre><%= html(http.ReturnFile) %></pre></td></tr>
</table>
<%
}
%>
</main>
</body>
</html>
