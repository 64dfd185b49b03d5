<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="settings.inc" -->
<!-- #include file="progress.inc" -->
<%
'' Large files straight to disk: the upload object writes each file into the
' upload folder while it reads, so no file is ever held in memory. A file of
' a type that is not kept is deleted once the upload has been read, also
' when the upload failed or the client left.
Dim Upload, fso, i, stored, size, failure

' Deletes the files of refused types that the upload stored. A refused type
' is never kept by any page, so deleting by its name removes nothing that
' another upload keeps.
Sub DeleteRefusedFiles()
  Dim i
  For i = 0 To Upload.FileQty - 1
    If Upload.NewName(i) <> "" And Not IsAllowedExtension(Upload.Extension(i)) Then
      Upload.Delete UploadFolder & Upload.NewName(i)
    End If
  Next
End Sub

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
failure = Err.Description
Err.Clear
On Error GoTo 0
' The files complete before a failure stay stored, those of refused types
' go; releasing the upload object deletes the file it was writing.
DeleteRefusedFiles
If failure <> "" Then
  Set Upload = Nothing
  Response.Status = "400 Bad Request"
  Response.Write "<p>The upload was refused: " & Server.HTMLEncode(failure) & "</p>"
  ' "(#3)": a file could not be written, or the body was cut short.
  If InStr(failure, "(#3)") > 0 Then
%>
<p class="error">When the cause is a denied access, the user this page runs as (IUSR, or the application pool's identity) needs Modify permission on the upload folder (docs\iis.md, "The upload folder").</p>
<%
  End If
  Response.End
End If

' A client that left before the end gets no answer.
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
Set fso = Server.CreateObject("Scripting.FileSystemObject")
For i = 0 To Upload.FileQty - 1
  If Upload.NewName(i) <> "" Then
    stored = Upload.NewName(i)
    ' FileSize is for files in memory; a stored file has its size on disk.
    If IsAllowedExtension(Upload.Extension(i)) Then
      size = fso.GetFile(UploadFolder & stored).Size
    Else
      stored = "(deleted: ." & Upload.Extension(i) & " files are not kept)"
      size = ""
    End If
%>
<tr>
  <td><%= Server.HTMLEncode(Upload.FileName(i)) %></td>
  <td><%= size %></td>
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
