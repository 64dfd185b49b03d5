<%@ Language="JScript" %>
<!-- #include file="settings-js.inc" -->
<%
// upload.asp in JScript: an upload form with a progress bar, and the page
// that receives it into memory and saves each file of an allowed type
// without replacing another. The upload object's failures arrive as
// exceptions whose message is the component's text.
function html(text) { return Server.HTMLEncode(String(text)); }
function query(name) {
  var value = Request.QueryString(name).Item();
  return value === undefined ? "" : String(value);
}
// Progress IDs, as progress.inc makes and takes them: the form's ten digits,
// and from the request only digits, so that no other Application item is named.
function newProgressID() { return String(Math.floor(1e9 + Math.random() * 9e9)); }
function progressIDFrom(text) { return /^[0-9]{1,20}$/.test(text) ? text : ""; }

var upload = Server.CreateObject("Velmora32.Process");
if (String(Request.ServerVariables("REQUEST_METHOD").Item()) !== "POST") {
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Upload files (JScript)</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<main>
<h1>Upload files (JScript)</h1>
<form id="upload" method="post" enctype="multipart/form-data" target="result"
      action="upload-jscript.asp?ProgressID=<%= newProgressID() %>">
  <label>Your name <input type="text" name="author"></label>
  <label>Files <input type="file" name="file" multiple></label>
  <button type="submit">Upload</button>
</form>
<div class="progress"><div id="bar" role="progressbar" aria-valuemin="0" aria-valuemax="100" aria-valuenow="0">0%</div></div>
<iframe name="result" id="result" title="Upload result"></iframe>
<script src="progress.js"></script>
</main>
</body>
</html>
<%
  upload = null;
  Response.End();
}

if (progressIDFrom(query("ProgressID")) !== "") {
  upload.ProgressID = progressIDFrom(query("ProgressID"));
  upload.ShowProgress = true;
}
try {
  upload.Read();
} catch (e) {
  Response.Status = "400 Bad Request";
  Response.Write("<p>The upload was refused: " + html(e.message) + "</p>");
  Response.End();
}

// A client that left before the end gets no answer, and nothing is stored.
// (IsClientConnected is a method of Response: JScript calls it with ().)
if (!Response.IsClientConnected()) Response.End();

upload.CreateDir(uploadFolder);
upload.OverwriteMode = owRename;
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Upload received</title>
<link rel="stylesheet" href="style.css">
</head>
<body class="result">
<main>
<p>From <%= html(upload.Value("author")) %>, <%= upload.TotalBytes %> bytes.</p>
<table id="files">
<tr><th>Name</th><th>Size</th><th>Content type</th><th>Stored as</th></tr>
<%
var anyFailed = false;
for (var i = 0; i < upload.FileQty; i++) {
  var saved;
  if (!isAllowedExtension(upload.Extension(i))) {
    saved = "(refused: ." + upload.Extension(i) + " files are not kept)";
  } else {
    // A save may fail (a name Windows refuses, a full disk, a missing
    // permission): the row says why, and the other files are still saved.
    try {
      upload.FileSave(uploadFolder + upload.FileName(i), i);
      saved = upload.NewName(i);
    } catch (e) {
      saved = "(not saved: " + e.message + ")";
      anyFailed = true;
    }
  }
%>
<tr>
  <td><%= html(upload.FileName(i)) %></td>
  <td><%= upload.FileSize(i) %></td>
  <td><%= html(upload.ContentType(i)) %></td>
  <td><%= html(saved) %></td>
</tr>
<%
}
upload = null;
%>
</table>
<% if (anyFailed) { %>
<p class="error">A file was not stored. When the cause is a denied access, the user this page runs as (IUSR, or the application pool's identity) needs Modify permission on the upload folder (docs\iis.md, "The upload folder").</p>
<% } %>
</main>
</body>
</html>
