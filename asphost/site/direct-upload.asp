<%@ Language="VBScript" %>
<% Option Explicit %>
<!-- #include file="layout.inc" -->
<!-- #include file="progress.inc" -->
<%
' Receives the form of direct.asp straight into the upload folder, under
' the names the client sent, renamed when a file of that name exists.
Const owRename = 2
Dim Upload, fso, i, folder

folder = UploadFolder()
Set Upload = Server.CreateObject("Velmora32.Process")
Upload.CreateDir folder
Upload.SaveDirect = True
Upload.SaveDirectPath = folder
Upload.SaveDirectUseExistingName = True
Upload.OverwriteMode = owRename
Upload.ProgressID = ProgressIDFrom(Request.QueryString("ProgressID"))
Upload.ShowProgress = True
Upload.Read

' A client that left before the end gets no answer; releasing the upload
' object deletes the file it was writing.
If Not Response.IsClientConnected Then
  Set Upload = Nothing
  Response.End
End If

Set fso = Server.CreateObject("Scripting.FileSystemObject")
ResultHeader "Upload saved"
%>
<p>Description: <%= Server.HTMLEncode(Upload.Value("description")) %></p>
<table id="files">
<tr><th>Name</th><th>Size on disk</th><th>Content type</th><th>Saved as</th></tr>
<% For i = 0 To Upload.FileQty - 1 %>
<tr>
  <td><%= Server.HTMLEncode(Upload.FileName(i)) %></td>
  <td><% If Upload.NewName(i) <> "" Then Response.Write fso.GetFile(folder & Upload.NewName(i)).Size %></td>
  <td><%= Server.HTMLEncode(Upload.ContentType(i)) %></td>
  <td><%= Server.HTMLEncode(Upload.NewName(i)) %></td>
</tr>
<% Next %>
</table>
<%
Set Upload = Nothing
PageFooter
%>
