' Velmora32.Process as an upload page uses it, through the ASP stand-in:
' Velmora32Test.Host loads the body and begins a page; the component finds
' Request, Response, Server and Application through mtxex.dll's object
' context. Run by tools/run-script.sh; the last line is the summary it checks.

' Err after a call made under On Error Resume Next, then cleared (VBScript
' does not clear it when a procedure returns).
Sub CheckError(name, number, description)
    CheckEqual name & " (number)", Hex(Err.Number), Hex(number)
    CheckEqual name & " (source)", Err.Source, "Velmora32.Process"
    CheckEqual name & " (description)", Err.Description, description
    Err.Clear
End Sub

Function ReadFile(path)
    Dim stream
    Set stream = fso.OpenTextFile(path, 1)
    If stream.AtEndOfStream Then
        ReadFile = ""
    Else
        ReadFile = stream.ReadAll
    End If
    stream.Close
End Function

' The files a save is writing beside their targets.
Function StagedFiles(folder)
    Dim f
    StagedFiles = 0
    For Each f In fso.GetFolder(folder).Files
        If Left(f.Name, 9) = "~velmora-" Then StagedFiles = StagedFiles + 1
    Next
End Function

Dim Host, fso, work, up, x, data
' The stand-in first: creating it loads mtxex.dll, where the component looks
' for the page context.
Set Host = CreateObject("Velmora32Test.Host")
Set fso = CreateObject("Scripting.FileSystemObject")
work = fso.BuildPath(fso.GetSpecialFolder(2), "velmora-upload-" & fso.GetTempName) & "\"
fso.CreateFolder work
Host.MapPathRoot = work

' --- A form: repeated names, a non-ASCII value, files, an empty file field
Host.MultipartBegin
Host.AddField "a", "1"
Host.AddField "A", "2"
Host.AddField "a", "3"
Host.AddField "city", "Z" & Chr(252) & "rich"
Host.AddFile "doc", "C:\Users\x\notes.txt", "text/plain", "hello"
Host.AddFile "bin", "data.bin", "application/octet-stream", Chr(1) & Chr(2) & Chr(3)
Host.AddFile "none", "", "application/octet-stream", ""
Host.AddField "doc", "y"
Host.MultipartEnd
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
up.Read
CheckEqual "TotalBytes", up.TotalBytes, Len(Host.BodyText)
CheckEqual "VarCount", up.VarCount, 5
CheckEqual "repeated names joined", up.Value("A"), "1, 2, 3"
CheckEqual "by index", up.VarByIndex(0), "1, 2, 3"
up.VarDelimiter = "|"
CheckEqual "another delimiter", up.Value("a"), "1|2|3"
CheckEqual "UTF-8 value", up.Value("city"), "Z" & Chr(252) & "rich"
CheckEqual "file field then text field", up.Value("doc"), "C:\Users\x\notes.txt|y"
CheckEqual "empty file field", up.Value("none"), ""
CheckEqual "VarName", up.VarName(4), "none"
CheckEqual "not sent", up.Value("missing"), ""

CheckEqual "FileQty", up.FileQty, 2
CheckEqual "FileName", up.FileName(0), "notes.txt"
CheckEqual "LocalName", up.LocalName(0), "C:\Users\x\notes.txt"
CheckEqual "Extension", up.Extension(0), "txt"
CheckEqual "NameOnly", up.NameOnly(0), "notes"
CheckEqual "ContentType", up.ContentType(1), "application/octet-stream"
CheckEqual "FileSize", up.FileSize(1), 3
CheckEqual "TagName", up.TagName(1), "bin"
CheckEqual "TagNameIndex ignores case", up.TagNameIndex("BIN"), 1
data = up.FileData(1)
CheckEqual "FileData lower bound", Host.LowerBound(data), 1
CheckEqual "FileData upper bound", Host.UpperBound(data), 3
CheckEqual "FileData bytes", Host.BytesToHex(data), "010203"
CheckEqual "FileAsBase64", up.FileAsBase64(1), "AQID"
CheckEqual "FileAsBase64 text", up.FileAsBase64(0), "aGVsbG8="

' --- FileSave under the three policies
up.FileSave work & "a.txt", 0
CheckEqual "saved", ReadFile(work & "a.txt"), "hello"
CheckEqual "owAlways leaves NewName", up.NewName(0), ""
up.OverwriteMode = 1
up.FileSave work & "a.txt", 1
CheckEqual "owNever keeps the file", ReadFile(work & "a.txt"), "hello"
up.OverwriteMode = 2
up.FileSave work & "a.txt", 1
CheckEqual "owRename picks a new name", up.NewName(1), "a~1.txt"
CheckEqual "renamed copy", ReadFile(work & "a~1.txt"), Chr(1) & Chr(2) & Chr(3)
up.OverwriteMode = 7
CheckEqual "unknown mode means owAlways", up.OverwriteMode, 0
up.FileSave work & "a.txt", 1
CheckEqual "owAlways replaces", ReadFile(work & "a.txt"), Chr(1) & Chr(2) & Chr(3)

' --- The host's Server object
CheckEqual "CurrentDir", up.CurrentDir, work

' --- Errors as the page sees them
On Error Resume Next
x = up.FileName(5)
CheckError "file index out of range", &H8000FFFF, "Index out of range or no file uploaded."
x = up.VarByIndex(-1)
CheckError "negative variable index", &H8000FFFF, "List index out of bounds (-1)"
x = up.VarByIndex(5)
CheckError "variable index out of range", &H8000FFFF, "Index out of range."
up.FileSave work & "no such folder\a.txt", 0
CheckEqual "missing folder (number)", Hex(Err.Number), "8000FFFF"
Check "missing folder (description)", InStr(Err.Description, "Cannot create file """) = 1
Err.Clear
On Error GoTo 0
Set up = Nothing
Host.EndPage

' --- A failing host call reaches the page with the host's HRESULT
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
Host.FailCall "Server.MapPath", &H80004005, "The path is not valid." & vbCrLf
On Error Resume Next
x = up.CurrentDir
CheckError "MapPath fails", &H80004005, "The path is not valid"
' Without a description: the system's text for the HRESULT, or its number.
Host.ClearFaults
Host.FailCall "Server.MapPath", &H80070005, ""
x = up.CurrentDir
CheckEqual "MapPath fails without a description (number)", Hex(Err.Number), "80070005"
' The system's words ("Access is denied." on Windows, "Access denied." on
' Wine), with the trailing dot and line break trimmed.
Check "the system's text", Left(Err.Description, 6) = "Access" And Right(Err.Description, 1) <> "."
Err.Clear
Host.ClearFaults
Host.FailCall "Server.MapPath", &HA0041234, ""
x = up.CurrentDir
CheckError "an HRESULT without system text", &HA0041234, "OLE error A0041234"
On Error GoTo 0
Host.ClearFaults
Set up = Nothing
Host.EndPage

' --- Short reads still read the whole body
Host.MultipartBegin
Host.AddField "a", "1"
Host.AddFile "doc", "notes.txt", "text/plain", String(5000, "n")
Host.MultipartEnd
Host.MaxRead = 700
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
up.Read
CheckEqual "short reads: variable", up.Value("a"), "1"
CheckEqual "short reads: file", up.FileSize(0), 5000
Check "short reads: many host reads", Host.ReadCount > 7
Set up = Nothing
Host.EndPage
Host.MaxRead = 0

' --- No page context: the host's GetObjectContext fails
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
Host.FailCall "GetObjectContext", &H8004E004, "There is no MTS object context"
On Error Resume Next
x = up.CurrentDir
CheckError "GetObjectContext fails", &H8004E004, "There is no MTS object context"
On Error GoTo 0
Host.ClearFaults
Set up = Nothing
Host.EndPage

' --- Progress in Application, removed when the object goes
Host.ClearApplication
Host.MultipartBegin
Host.AddFile "big", "big.bin", "application/octet-stream", String(150000, "x")
Host.MultipartEnd
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
up.ShowProgress = 2
CheckEqual "any non-zero is true", up.ShowProgress, True
up.ProgressID = "upload-1"
up.Read
CheckEqual "read in two blocks", Host.ReadCount, 2
CheckEqual "a 32-bit count, then a 64-bit one for the shorter last block", Host.ReadLog, _
    "I4:102400:102400 I8:" & (Len(Host.BodyText) - 102400) & ":" & (Len(Host.BodyText) - 102400)
CheckEqual "progress after the last block", Host.Application("upload-1"), 100
CheckEqual "progress values", Host.ApplicationLog, _
    "set upload-1=" & Round(100 * 102400 / Len(Host.BodyText)) & "; set upload-1=100"
CheckEqual "file read whole", up.FileSize(0), 150000
Set up = Nothing
Check "progress removed on release", IsEmpty(Host.Application("upload-1"))
CheckEqual "removal logged", Right(Host.ApplicationLog, 17), "; remove upload-1"
Host.EndPage

' --- Progress goes only under a key the object may call its own: an item
' that holds anything but the number the object wrote last (a site's counter,
' its text, another upload's progress) is neither overwritten nor removed.
' Each case: what the item holds before the read ("" for nothing), what
' another page writes there after the read ("" for nothing), and the item
' after the object's release.
Dim progressCases, progressCase
progressCases = Array( _
    Array("", "", Empty), _
    Array(42, "", 42), _
    Array("site text", "", "site text"), _
    Array("", 7, 7))
For Each progressCase In progressCases
    Host.ClearApplication
    Host.MultipartBegin
    Host.AddFile "big", "big.bin", "application/octet-stream", String(150000, "x")
    Host.MultipartEnd
    If progressCase(0) <> "" Then Host.SetApplication "hits", progressCase(0)
    Host.ClearApplicationLog
    Host.BeginPage
    Set up = CreateObject("Velmora32.Process")
    up.ProgressID = "hits"
    up.ShowProgress = True
    up.Read
    CheckEqual "read whole beside the item " & progressCase(0), up.FileSize(0), 150000
    If progressCase(0) = "" Then
        CheckEqual "progress published", Host.ApplicationLog, _
            "set hits=" & Round(100 * 102400 / Len(Host.BodyText)) & "; set hits=100"
    Else
        CheckEqual "item " & progressCase(0) & " untouched by the read", Host.ApplicationLog, ""
    End If
    If progressCase(1) <> "" Then Host.SetApplication "hits", progressCase(1)
    Set up = Nothing
    Host.EndPage
    CheckEqual "item " & progressCase(0) & "/" & progressCase(1) & " after the release", _
        Host.Application("hits"), progressCase(2)
Next
' Released without a read, the object removes nothing that is there.
Host.ClearApplication
Host.SetApplication "hits", 42
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
up.ProgressID = "hits"
up.ShowProgress = True
Set up = Nothing
Host.EndPage
CheckEqual "an item the object never wrote stays", Host.Application("hits"), 42
Host.ClearApplication

' --- Direct saving; a read the client cut short loses its last file
Host.MultipartBegin
Host.AddFile "f1", "one.txt", "text/plain", "first"
Host.AddFile "f2", "C:\client\two.txt", "text/plain", String(200000, "z")
Host.MultipartEnd
Host.DisconnectAfter = 1
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
up.SaveDirect = True
up.SaveDirectPath = work
up.SaveDirectUseExistingName = True
up.Read
CheckEqual "client left after one block", Host.ReadCount, 1
CheckEqual "first file complete", ReadFile(work & "one.txt"), "first"
Check "second file not under its name while cut off", Not fso.FileExists(work & "two.txt")
CheckEqual "second file begun beside it", StagedFiles(work), 1
CheckEqual "a cut file names no file", up.NewName(1), ""
On Error Resume Next
data = up.FileData(0)
CheckEqual "FileData refused in direct mode", Hex(Err.Number), "8000FFFF"
Err.Clear
On Error GoTo 0
Set up = Nothing
Check "cut-off file deleted on release", Not fso.FileExists(work & "two.txt")
CheckEqual "nothing left beside it", StagedFiles(work), 0
Check "complete file kept", fso.FileExists(work & "one.txt")
Host.EndPage

' A complete direct read deletes nothing.
Host.DisconnectAfter = -1
fso.DeleteFile work & "*.txt"
Host.MultipartBegin
Host.AddFile "f1", "one.txt", "text/plain", "first"
Host.AddFile "f2", "C:\client\two.txt", "text/plain", String(200000, "z")
Host.MultipartEnd
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
up.SaveDirect = True
up.SaveDirectPath = work
up.SaveDirectName = "fixed.bin"
up.OverwriteMode = 2
up.Read
Set up = Nothing
Check "first direct file kept", fso.FileExists(work & "fixed.bin")
CheckEqual "second direct file renamed and kept", Len(ReadFile(work & "fixed~1.bin")), 200000
Host.EndPage

' --- Direct mode without a name fails before anything is read
Host.BeginPage
Set up = CreateObject("Velmora32.Process")
up.SaveDirect = True
up.SaveDirectPath = work
On Error Resume Next
up.Read
CheckError "direct mode without a name", &H8000FFFF, "A file path must be specified when saving direct."
On Error GoTo 0
CheckEqual "nothing read", Host.ReadCount, 0
Set up = Nothing
Host.EndPage

' --- Every member that reaches the page lets go of its context: a page
' context that outlives its page keeps the page's objects, the request body
' with them, for the life of the process.
Sub UseThePage(member)
    Select Case member
    Case "Read"
        up.Read
    Case "Read, direct"
        up.SaveDirect = True
        up.SaveDirectPath = work
        up.SaveDirectUseExistingName = True
        up.Read
    Case "Read, progress"
        up.ProgressID = "released"
        up.ShowProgress = True
        up.Read
    Case "ReadChunks"
        up.ReadChunks
    Case "DumpHeader"
        up.DumpHeader work & "raw.bin"
    Case "CurrentDir"
        x = up.CurrentDir
    End Select
End Sub

Dim member
For Each member In Array("Read", "Read, direct", "Read, progress", "ReadChunks", "DumpHeader", "CurrentDir")
    Host.MultipartBegin
    Host.AddField "a", "1"
    Host.AddFile "f", "context.bin", "application/octet-stream", "bytes"
    Host.MultipartEnd
    Host.BeginPage
    Set up = CreateObject("Velmora32.Process")
    UseThePage member
    Set up = Nothing
    Host.EndPage
    CheckEqual member & ": no page context left", Host.LiveContexts, 0
Next
Host.ClearApplication

fso.DeleteFolder Left(work, Len(work) - 1), True
Summary
