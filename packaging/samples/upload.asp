<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="settings.inc" -->
<!-- #include file="progress.inc" -->
<%
' An upload form with a progress bar, and the page that receives it. The
' form posts into a frame of this page, while progress.js asks progress.asp
' how far the upload has come: the upload object publishes that in the
' Application collection under the form's ProgressID.
Dim Upload, i, saved, failure, anyFailed

If Request.ServerVariables("REQUEST_METHOD") <> "POST" Then
  Set Upload = Server.CreateObject("Velmora32.Process")
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Upload files</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<main>
<h1>Upload files</h1>
<form id="upload" method="post" enctype="multipart/form-data" target="result"
      action="upload.asp?ProgressID=<%= NewProgressID() %>">
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
  Set Upload = Nothing
  Response.End
End If

Set Upload = Server.CreateObject("Velmora32.Process")
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

' A client that left before the end gets no answer, and nothing is stored.
If Not Response.IsClientConnected Then Response.End

Upload.CreateDir UploadFolder
Upload.OverwriteMode = owRename
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Upload received</title>
<link rel="stylesheet" href="style.css">
</head>
<body class="result">
<main>
<p>From <%= Server.HTMLEncode(Upload.Value("author")) %>, <%= Upload.TotalBytes %> bytes.</p>
<table id="files">
<tr><th>Name</th><th>Size</th><th>Content type</th><th>Stored as</th></tr>
<%
For i = 0 To Upload.FileQty - 1
  If Upload.FileName(i) <> "" Then
    If IsAllowedExtension(Upload.Extension(i)) Then
      ' A save may fail (a name Windows refuses, a full disk, a missing
      ' permission): the row says why, and the other files are still saved.
      On Error Resume Next
      Upload.FileSave UploadFolder & Upload.FileName(i), i
      failure = Err.Description
      Err.Clear
      On Error GoTo 0
      If failure = "" Then
        saved = Upload.NewName(i)
      Else
        saved = "(not saved: " & failure & ")"
        anyFailed = True
      End If
    Else
      saved = "(refused: ." & Upload.Extension(i) & " files are not kept)"
    End If
%>
<tr>
  <td><%= Server.HTMLEncode(Upload.FileName(i)) %></td>
  <td><%= Upload.FileSize(i) %></td>
  <td><%= Server.HTMLEncode(Upload.ContentType(i)) %></td>
  <td><%= Server.HTMLEncode(saved) %></td>
</tr>
<%
  End If
Next
Set Upload = Nothing
%>
</table>
<% If anyFailed Then %>
<p class="error">A file was not stored. When the cause is a denied access, the user this page runs as (IUSR, or the application pool's identity) needs Modify permission on the upload folder (docs\iis.md, "The upload folder").</p>
<% End If %>
</main>
</body>
</html>
