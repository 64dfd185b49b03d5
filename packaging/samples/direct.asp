<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="settings.inc" -->
<!-- #include file="progress.inc" -->
<%
' Large files straight to disk: the upload object writes each file into the
' upload folder while it reads, so no file is ever held in memory. A file of
' a type that is not kept is deleted once the upload has been read.
Dim Upload, i, stored

If Request.ServerVariables("REQUEST_METHOD") <> "POST" Then
  Set Upload = Server.CreateObject("Velmora32.Process")
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Direct to disk</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<main>
<h1>Direct to disk</h1>
<form id="upload" method="post" enctype="multipart/form-data" target="result"
      action="direct.asp?ProgressID=<%= NewProgressID() %>">
  <label>Description <input type="text" name="description"></label>
  <label>Large files <input type="file" name="file" multiple></label>
  <button type="submit">Upload</button>
</form>
<div class="progress"><div id="bar" role="progressbar" aria-valuemin="0" aria-valuemax="100" aria-valuenow="0">0%</div></div>
<iframe name="result" id="result" title="Upload result"></iframe>
<script src="progress.js"></script>
</main>
</body>
</html>
<%
  Set Upload = Nothing
  Response.End
End If

Set Upload = Server.CreateObject("Velmora32.Process")
Upload.CreateDir UploadFolder
Upload.SaveDirect = True
Upload.SaveDirectPath = UploadFolder
Upload.SaveDirectUseExistingName = True
Upload.OverwriteMode = owRename
If ProgressIDFrom(Request.QueryString("ProgressID")) <> "" Then
  Upload.ProgressID = ProgressIDFrom(Request.QueryString("ProgressID"))
  Upload.ShowProgress = True
End If
On Error Resume Next
Upload.Read
If Err.Number <> 0 Then
  Response.Status = "400 Bad Request"
  Response.Write "<p>The upload was refused: " & Server.HTMLEncode(Err.Description) & "</p>"
  Response.End
End If
On Error GoTo 0

' A client that left before the end gets no answer; releasing the upload
' object deletes the file it was writing.
If Not Response.IsClientConnected Then
  Set Upload = Nothing
  Response.End
End If
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Upload stored</title>
<link rel="stylesheet" href="style.css">
</head>
<body class="result">
<main>
<p>Description: <%= Server.HTMLEncode(Upload.Value("description")) %></p>
<table id="files">
<tr><th>Name</th><th>Size</th><th>Content type</th><th>Stored as</th></tr>
<%
For i = 0 To Upload.FileQty - 1
  If Upload.NewName(i) <> "" Then
    stored = Upload.NewName(i)
    If Not IsAllowedExtension(Upload.Extension(i)) Then
      Upload.Delete UploadFolder & stored
      stored = "(deleted: ." & Upload.Extension(i) & " files are not kept)"
    End If
%>
<tr>
  <td><%= Server.HTMLEncode(Upload.FileName(i)) %></td>
  <td><%= Upload.FileSize(i) %></td>
  <td><%= Server.HTMLEncode(Upload.ContentType(i)) %></td>
  <td><%= Server.HTMLEncode(stored) %></td>
</tr>
<%
  End If
Next
Set Upload = Nothing
%>
</table>
</main>
</body>
</html>
