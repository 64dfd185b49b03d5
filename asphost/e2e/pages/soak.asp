<%
' One upload taken by Velmora32.Process the way the query string asks: read
' in memory, read direct to disk, or copied raw by DumpHeader. Answers the
' number of bytes the page got (the file's, or the whole body's).
Dim Upload, fso, folder, way
way = Request.QueryString("way")
folder = Server.MapPath("soak") & "\"
Set fso = Server.CreateObject("Scripting.FileSystemObject")
Set Upload = Server.CreateObject("Velmora32.Process")
Upload.CreateDir folder
Response.ContentType = "text/plain"
Select Case way
Case "memory"
  Upload.Read
  Response.Write Upload.FileSize(0)
Case "direct"
  If fso.FileExists(folder & "direct.bin") Then fso.DeleteFile folder & "direct.bin"
  Upload.SaveDirect = True
  Upload.SaveDirectPath = folder
  Upload.SaveDirectName = "direct.bin"
  Upload.Read
  Response.Write fso.GetFile(folder & "direct.bin").Size
Case "dump"
  If fso.FileExists(folder & "raw.bin") Then fso.DeleteFile folder & "raw.bin"
  Upload.DumpHeader folder & "raw.bin"
  Response.Write fso.GetFile(folder & "raw.bin").Size
Case Else
  Response.Status = "400 Bad Request"
  Response.Write "way: memory, direct or dump"
End Select
Set Upload = Nothing
%>
