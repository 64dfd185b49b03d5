<%
' One upload of the load test (load.mjs), read in memory or direct to disk
' as the query string asks, its files stored in a folder of its own. Answers
' a line per text variable ("var <name>=<values joined by |>") and per file
' ("file <field> <name>"), so the client can check all it got.
Dim Upload, folder, i, way
way = Request.QueryString("way")
folder = Server.MapPath("load") & "\" & Request.QueryString("id") & "\"
Set Upload = Server.CreateObject("Velmora32.Process")
Upload.CreateDir Server.MapPath("load") & "\"
Upload.CreateDir folder
If way = "direct" Then
  Upload.SaveDirect = True
  Upload.SaveDirectPath = folder
  Upload.SaveDirectUseExistingName = True
End If
Upload.Read
' A client that left gets no answer, and a file read in memory is not stored.
If Not Response.IsClientConnected Then
  Set Upload = Nothing
  Response.End
End If
Response.ContentType = "text/plain"
Upload.VarDelimiter = "|"
For i = 0 To Upload.VarCount - 1
  If Left(Upload.VarName(i), 5) = "text-" Then Response.Write "var " & Upload.VarName(i) & "=" & Upload.VarByIndex(i) & vbLf
Next
For i = 0 To Upload.FileQty - 1
  If way <> "direct" Then Upload.FileSave folder & Upload.FileName(i), i
  Response.Write "file " & Upload.TagName(i) & " " & Upload.FileName(i) & vbLf
Next
Set Upload = Nothing
%>
