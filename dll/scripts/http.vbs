' Velmora32.HTTP as a page uses it, against a local server (http_server.py,
' port in the first argument). Velmora32Test.Host only lends its byte-array
' helpers: Wine's VBScript cannot look into byte arrays. Run by
' tools/run-script.sh through with-http-server.sh; the last line is the summary.

Sub CheckError(name, number, description)
    CheckEqual name & " (number)", Hex(Err.Number), Hex(number)
    CheckEqual name & " (source)", Err.Source, "Velmora32.HTTP"
    CheckEqual name & " (description)", Err.Description, description
    Err.Clear
End Sub

Dim Host, fso, work, http, base, data, ok, text, stream
Set Host = CreateObject("Velmora32Test.Host")
Set fso = CreateObject("Scripting.FileSystemObject")
work = fso.BuildPath(fso.GetSpecialFolder(2), "velmora-http-" & fso.GetTempName) & "\"
fso.CreateFolder work
base = "http://127.0.0.1:" & WScript.Arguments(0)

Set http = CreateObject("Velmora32.HTTP")

' --- Settings read back as stored
http.HTTPTimeout = 30
CheckEqual "HTTPTimeout", http.HTTPTimeout, 30
http.Username = "u"
CheckEqual "Username", http.Username, "u"
http.Password = "p"
CheckEqual "Password", http.Password, "p"
http.Username = ""
http.Password = ""
http.TagName = "upload"
CheckEqual "TagName", http.TagName, "upload"
http.RequestMethod = "post"
CheckEqual "RequestMethod post", http.RequestMethod, "POST"
http.RequestMethod = "PUT"
CheckEqual "RequestMethod other", http.RequestMethod, "GET"
CheckEqual "DebugHTTP", http.DebugHTTP, ""

' --- Downloads into byte arrays (bounds 1..n) and files
data = http.DownloadData(base & "/hello")
CheckEqual "DownloadData lower bound", Host.LowerBound(data), 1
CheckEqual "DownloadData upper bound", Host.UpperBound(data), 5
CheckEqual "DownloadData bytes", Host.BytesToText(data), "hello"
CheckEqual "VariantToString", http.VariantToString(data), "hello"
data = http.DownloadData(base & "/empty")
CheckEqual "empty body: lower bound", Host.LowerBound(data), 1
CheckEqual "empty body: upper bound", Host.UpperBound(data), 0
http.UserAgent = "VelmoraTest/1"
CheckEqual "UserAgent sent", http.VariantToString(http.DownloadData(base & "/agent")), "VelmoraTest/1"
http.DownloadFile base & "/hello", work & "d.txt"
CheckEqual "DownloadFile status", http.ReturnCode, 200
Set stream = fso.OpenTextFile(work & "d.txt", 1)
CheckEqual "DownloadFile content", stream.ReadAll, "hello"
stream.Close

' --- Uploads: a byte array (any lower bound, directly or by reference) and a file
http.AddFormVar "k", "v"
data = Host.TextToBytes("abc")
ok = http.UploadData(base & "/echo", data, "a.txt")
CheckEqual "UploadData", ok, True
CheckEqual "UploadData status", http.ReturnCode, 200
Check "the file part", InStr(http.ReturnFile, "name=""upload""; filename=""a.txt""") > 0
Check "the bytes", InStr(http.ReturnFile, vbCrLf & vbCrLf & "abc" & vbCrLf) > 0
Check "the form variable", InStr(http.ReturnFile, "name=""k""" & vbCrLf & vbCrLf & "v") > 0
Set stream = fso.CreateTextFile(work & "up.txt", True)
stream.Write "file body"
stream.Close
ok = http.UploadFile(base & "/echo", work & "up.txt")
CheckEqual "UploadFile", ok, True
Check "the file's bytes", InStr(http.ReturnFile, "file body") > 0
Check "its name", InStr(http.ReturnFile, "filename=""up.txt""") > 0
http.ClearFormVars
ok = http.UploadData(base & "/echo", data, "b.txt")
Check "cleared form variables", InStr(http.ReturnFile, "name=""k""") = 0

' --- Errors as the page sees them
On Error Resume Next
data = http.DownloadData(base & "/fail")
CheckError "status 500", &H8000FFFF, "Error reading remote file."
text = http.VariantToString("not an array")
CheckError "a string is no byte array", &H8000FFFF, "Invalid argument"
text = http.VariantToString(Array(1, 2))
CheckError "an array of variants is no byte array", &H8000FFFF, "Invalid argument"
ok = http.UploadData(base & "/echo", 42, "x")
CheckError "UploadData of a number", &H8000FFFF, "Invalid argument"
ok = http.UploadFile(base & "/echo", work & "missing.txt")
CheckError "UploadFile of a missing file", &H8000FFFF, "File not found: " & work & "missing.txt"
On Error GoTo 0
Set http = Nothing

fso.DeleteFolder Left(work, Len(work) - 1), True
Summary
