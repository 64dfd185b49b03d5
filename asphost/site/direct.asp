<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="layout.inc" -->
<!-- #include file="progress.inc" -->
<%
' Large files: the upload object writes each file to disk while it reads,
' so no file is ever held in memory.
Dim progressId
progressId = NewProgressID()

PageHeader "Direct to disk"
%>
<form id="upload" method="post" enctype="multipart/form-data" target="result"
      action="direct-upload.asp?ProgressID=<%= progressId %>">
  <label>Description <input type="text" name="description" value="Backup"></label>
  <label>Large files <input type="file" name="file" multiple></label>
  <button type="submit">Upload</button>
</form>
<div class="progress"><div id="bar" role="progressbar" aria-valuemin="0" aria-valuemax="100" aria-valuenow="0">0%</div></div>
<iframe name="result" id="result" title="Upload result"></iframe>
<script src="progress.js"></script>
<% PageFooter %>
