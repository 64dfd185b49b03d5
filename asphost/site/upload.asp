<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="layout.inc" -->
<!-- #include file="progress.inc" -->
<%
' Receives the form of default.asp: reads the upload, lists what came, and
' stores the files without ever replacing one (owRename).
Const owRename = 2
Dim Upload, i, file, value, folder

Set Upload = Server.CreateObject("Velmora32.Process")
Upload.ProgressID = ProgressIDFrom(Request.QueryString("ProgressID"))
Upload.ShowProgress = True
Upload.Read

' A client that left before the end gets no answer, and nothing is stored.
If Not Response.IsClientConnected Then
  Set Upload = Nothing
  Response.End
End If

folder = UploadFolder()
Upload.CreateDir folder
Upload.OverwriteMode = owRename

ResultHeader "Upload received"
%>
<p><%= Upload.TotalBytes %> bytes read.</p>
<h3>Form variables</h3>
<table id="variables">
<tr><th>Name</th><th>Value</th></tr>
<%
' Variables and files come in body order, one variable per file field: a
' field that sent several files shows each file's name, not the first one's
' each time (as VarByIndex gives it).
file = 0
For i = 0 To Upload.VarCount - 1
  value = Upload.VarByIndex(i)
  If file < Upload.FileQty Then
    If LCase(Upload.TagName(file)) = LCase(Upload.VarName(i)) Then
      value = Upload.FileName(file)
      file = file + 1
    End If
  End If
%>
<tr><td><%= Server.HTMLEncode(Upload.VarName(i)) %></td><td><%= Server.HTMLEncode(value) %></td></tr>
<% Next %>
</table>
<h3>Files</h3>
<table id="files">
<tr><th>Field</th><th>Name</th><th>Size</th><th>Content type</th><th>Extension</th><th>Saved as</th></tr>
<%
For i = 0 To Upload.FileQty - 1
  Upload.FileSave folder & Upload.FileName(i), i
%>
<tr>
  <td><%= Server.HTMLEncode(Upload.TagName(i)) %></td>
  <td><%= Server.HTMLEncode(Upload.FileName(i)) %></td>
  <td><%= Upload.FileSize(i) %></td>
  <td><%= Server.HTMLEncode(Upload.ContentType(i)) %></td>
  <td><%= Server.HTMLEncode(Upload.Extension(i)) %></td>
  <td><%= Server.HTMLEncode(Upload.NewName(i)) %></td>
</tr>
<% Next %>
</table>
<%
Set Upload = Nothing
PageFooter
%>
