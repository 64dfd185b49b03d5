<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="layout.inc" -->
<!-- #include file="progress.inc" -->
<%
' The upload form. Its ProgressID names the upload in the Application
' collection, where the upload object publishes how far it has read.
Dim progressId
progressId = NewProgressID()

PageHeader "Upload files"
%>
<form id="upload" method="post" enctype="multipart/form-data" target="result"
      action="upload.asp?ProgressID=<%= progressId %>">
  <label>Your name <input type="text" name="author" value="Ada Lovelace"></label>
  <label>Note <textarea name="note" rows="2">Figures for the quarter</textarea></label>
  <fieldset>
    <legend>Tags</legend>
    <label><input type="checkbox" name="tag" value="report" checked> report</label>
    <label><input type="checkbox" name="tag" value="draft" checked> draft</label>
    <label><input type="checkbox" name="tag" value="public"> public</label>
  </fieldset>
  <label>A file <input type="file" name="file1"></label>
  <label>More files <input type="file" name="file2" multiple></label>
  <button type="submit">Upload</button>
</form>
<div class="progress"><div id="bar" role="progressbar" aria-valuemin="0" aria-valuemax="100" aria-valuenow="0">0%</div></div>
<iframe name="result" id="result" title="Upload result"></iframe>
<script src="progress.js"></script>
<% PageFooter %>
