' The demo page: a browser posts a small form with two files, and the page
' reads it with Velmora32.Process, as an ASP page would. The ASP stand-in
' (Velmora32Test.Host) plays the browser and the web server.
Option Explicit

Dim Host, up, i, data
Set Host = CreateObject("Velmora32Test.Host")
Host.MultipartBegin
Host.AddField "title", "Holiday photos"
Host.AddField "tag", "sea"
Host.AddField "tag", "sun"
Host.AddFile "photo", "C:\Users\ada\Pictures\beach.jpg", "image/jpeg", Chr(255) & Chr(216) & Chr(255) & Chr(224) & "JFIF"
Host.AddFile "notes", "notes.txt", "text/plain", "Day 1: swim." & vbCrLf & "Day 2: sleep."
WScript.Echo "The browser sends " & Host.MultipartEnd & " bytes of multipart/form-data."
Host.MaxRead = 64  ' a slow connection: the host hands out 64 bytes per read

Host.BeginPage
Set up = CreateObject("Velmora32.Process")
up.ShowProgress = True
up.ProgressID = "demo-upload"
up.Read
WScript.Echo "Velmora32.Process (" & up.Version & ") read " & up.TotalBytes & " bytes in " & Host.ReadCount & " host reads."
WScript.Echo "Progress in Application(""demo-upload""): " & Host.Application("demo-upload") & "%"
WScript.Echo ""
WScript.Echo up.VarCount & " form variables:"
For i = 0 To up.VarCount - 1
    WScript.Echo "  " & up.VarName(i) & " = " & up.VarByIndex(i)
Next
WScript.Echo ""
WScript.Echo up.FileQty & " files:"
For i = 0 To up.FileQty - 1
    data = up.FileData(i)
    WScript.Echo "  " & up.TagName(i) & ": " & up.FileName(i) & " (" & up.ContentType(i) & ", " & _
                 up.FileSize(i) & " bytes, extension """ & up.Extension(i) & """)"
    WScript.Echo "    sent as " & up.LocalName(i)
    WScript.Echo "    bytes 1.." & Host.UpperBound(data) & ", hex " & Left(Host.BytesToHex(data), 16) & _
                 ", Base64 " & up.FileAsBase64(i)
Next
WScript.Echo ""
On Error Resume Next
data = up.FileName(up.FileQty)
WScript.Echo "Asking for file " & up.FileQty & " gives error " & Hex(Err.Number) & " from " & Err.Source & ": " & Err.Description
On Error GoTo 0
Set up = Nothing
WScript.Echo "Releasing the object removed the progress value: " & IsEmpty(Host.Application("demo-upload"))
Host.EndPage
WScript.Echo "demo: done"
