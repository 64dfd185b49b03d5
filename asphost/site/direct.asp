<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="layout.inc" -->
<%
' Large files: the upload object writes each file to disk while it reads,
' so no file is ever held in memory.
Dim Upload, progressId
Set Upload = Server.CreateObject("Velmora32.Process")
progressId = Upload.CreateGUID
Set Upload = Nothing

PageHeader "Direct to disk"
%>
<form id="upload" method="post" enctype="multipart/form-data" target="result"
      action="direct-upload.asp?ProgressID=<%= Server.URLEncode(progressId) %>">
  <label>Description <input type="text" name="description" value="Backup"></label>
  <label>Large files <input type="file" name="file" multiple></label>
  <button type="submit">Upload</button>
</form>
<div class="progress"><div id="bar" role="progressbar" aria-valuemin="0" aria-valuemax="100" aria-valuenow="0">0%</div></div>
<iframe name="result" id="result" title="Upload result"></iframe>
<script src="progress.js"></script>
<% PageFooter %>
