' The ASP stand-in as scripts see it: Velmora32Test.Host drives the body and
' the host's behaviour, and the page's objects answer late-bound, default
' members included, as they do in pages. Run by tools/run-script.sh; the last
' line is the summary it checks.

' Err after a call made under On Error Resume Next, then cleared.
Sub CheckError(name, number, description)
    CheckEqual name & " (number)", Hex(Err.Number), Hex(number)
    If description <> "" Then CheckEqual name & " (description)", Err.Description, description
    Err.Clear
End Sub

Dim Host, Request, Response, Server, Application, count, data, key, keys
Set Host = CreateObject("Velmora32Test.Host")
Check "no page before BeginPage", Not Host.InPage
CheckEqual "cscript is told Windows NT 4.0", Host.WindowsVersion, "4.0"

' --- Request.TotalBytes and BinaryRead over a body of plain bytes
CheckEqual "body length", Host.LoadBodyFromString("hello world"), 11
Host.BeginPage
Check "page after BeginPage", Host.InPage
Set Request = Host.Intrinsic("Request")
Set Response = Host.Intrinsic("Response")
CheckEqual "TotalBytes", Request.TotalBytes, 11
count = 5
data = Request.BinaryRead(count)
CheckEqual "count rewritten", count, 5
CheckEqual "bytes read", Host.BytesToText(data), "hello"
CheckEqual "array starts at 0", Host.LowerBound(data), 0
CheckEqual "array ends at 4", Host.UpperBound(data), 4
count = 100
data = Request.BinaryRead(count)
CheckEqual "a read past the end delivers the rest", count, 6
CheckEqual "the rest", Host.BytesToText(data), " world"
count = 10
data = Request.BinaryRead(count)
CheckEqual "nothing left", count, 0
CheckEqual "an empty array", Host.ByteCount(data), 0
CheckEqual "reads as type:asked:delivered", Host.ReadLog, "I2:5:5 I2:100:6 I2:10:0"

On Error Resume Next
count = -1
data = Request.BinaryRead(count)
CheckError "negative count", &H80070057, ""
count = "12"
data = Request.BinaryRead(count)
CheckError "text count", &H80070057, ""
count = 1.5
data = Request.BinaryRead(count)
CheckError "fractional count", &H80070057, ""
On Error GoTo 0
Host.EndPage
Check "no page after EndPage", Not Host.InPage

' --- short reads, reads that deliver nothing, a client that leaves
Host.LoadBodyFromString "abcdefghij"
Host.MaxRead = 4
Host.EmptyReads 2, 1
Host.DisconnectAfter = 3
Host.BeginPage
Set Request = Host.Intrinsic("Request")
Set Response = Host.Intrinsic("Response")
count = 100000
data = Request.BinaryRead(count)
CheckEqual "short read", Host.BytesToText(data), "abcd"
data = Request.BinaryRead(count)
CheckEqual "empty read", count, 0
Check "connected after two reads", Response.IsClientConnected
count = 100000
data = Request.BinaryRead(count)
CheckEqual "read after the empty one", Host.BytesToText(data), "efgh"
Check "gone after three reads", Not Response.IsClientConnected
CheckEqual "read count", Host.ReadCount, 3
Host.EndPage
Host.MaxRead = 0
Host.EmptyReads 0, 0
Host.DisconnectAfter = -1

' --- a host call that fails with a chosen HRESULT and description
Host.LoadBodyFromString "0123456789"
Host.FailCall "Request.BinaryRead", &H80004005, "The disk is on fire.", 1
Host.BeginPage
Set Request = Host.Intrinsic("Request")
count = 4
data = Request.BinaryRead(count)
CheckEqual "the read before the failure", Host.BytesToText(data), "0123"
On Error Resume Next
data = Request.BinaryRead(count)
CheckEqual "failure source", Err.Source, "Request object"
CheckError "failing read", &H80004005, "The disk is on fire."
On Error GoTo 0
Host.ClearFaults
data = Request.BinaryRead(count)
CheckEqual "reads again once cleared", Host.BytesToText(data), "4567"
Host.FailCall "GetObjectContext", &H80070005, "No context today."
On Error Resume Next
Set Request = Host.Intrinsic("Request")
CheckEqual "GetObjectContext failure source", Err.Source, "mtxex"
CheckError "GetObjectContext fails as planned", &H80070005, "No context today."
On Error GoTo 0
Host.ClearFaults
Host.EndPage

' --- Application: default member, Contents, the log
Host.ClearApplication
Host.BeginPage
Set Application = Host.Intrinsic("Application")
Application("Progress") = 41
Application("progress") = 82
Application("Other") = "x"
CheckEqual "value through the default member", Application("PROGRESS"), 82
CheckEqual "value seen by the host", Host.Application("Progress"), 82
CheckEqual "count", Application.Contents.Count, 2
CheckEqual "key by position", Application.Contents.Key(2), "Other"
CheckEqual "item by position", Application.Contents(1), 82
keys = ""
For Each key In Application.Contents
    keys = keys & key & ","
Next
CheckEqual "enumerated keys", keys, "Progress,Other,"
Application.Contents.Remove "Progress"
Application.Contents.Remove "missing"
CheckEqual "removed", IsEmpty(Host.Application("Progress")), True
Application.Lock
Application("Other") = "y"
Application.UnLock
CheckEqual "log", Host.ApplicationLog, "set Progress=41; set progress=82; set Other=x; remove Progress; remove missing; set Other=y"
CheckEqual "host count", Host.ApplicationCount, 1
Host.ClearApplicationLog
Host.SetApplication "Seeded", 7
CheckEqual "seeded by the host", Application("seeded"), 7
CheckEqual "log after seeding", Host.ApplicationLog, "set Seeded=7"
Host.EndPage

' --- Server
Host.MapPathRoot = "C:\site"
Host.PagePath = "/app/upload.asp"
Host.BeginPage
Set Server = Host.Intrinsic("Server")
CheckEqual "MapPath .", Server.MapPath("."), "C:\site\app"
CheckEqual "MapPath /", Server.MapPath("/"), "C:\site"
CheckEqual "MapPath relative", Server.MapPath("files/a.txt"), "C:\site\app\files\a.txt"
CheckEqual "MapPath ..", Server.MapPath("../b.txt"), "C:\site\b.txt"
On Error Resume Next
data = Server.MapPath("../../etc")
CheckError "MapPath above the root", &H80070057, ""
On Error GoTo 0
CheckEqual "HTMLEncode", Server.HTMLEncode("<a href=""x"">&</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;"
CheckEqual "URLEncode", Server.URLEncode("a b/c&d"), "a+b%2Fc%26d"
Check "CreateObject", IsObject(Server.CreateObject("Scripting.Dictionary"))
Host.EndPage

' --- Request collections and Response
Host.QueryString = "a=1&b=two%20words&a=3"
Host.BeginPage
Set Request = Host.Intrinsic("Request")
Set Response = Host.Intrinsic("Response")
CheckEqual "Request(name)", Request("b"), "two words"
CheckEqual "repeated name", Request.QueryString("a"), "1, 3"
CheckEqual "one of a repeated name", Request.QueryString("a")(2), "3"
CheckEqual "repeat count", Request.QueryString("a").Count, 2
CheckEqual "raw query string", Request.QueryString, "a=1&b=two%20words&a=3"
CheckEqual "missing name", IsEmpty(Request("none").Item), True
CheckEqual "ServerVariables", Request.ServerVariables("SCRIPT_NAME"), "/app/upload.asp"
keys = ""
For Each key In Request.QueryString
    keys = keys & key & ","
Next
CheckEqual "For Each over names", keys, "a,b,"
keys = ""
For Each key In Request.QueryString("a")
    keys = keys & key & ","
Next
CheckEqual "For Each over a name's values", keys, "1,3,"
Response.ContentType = "text/plain"
Response.Write "h" & Chr(233) & "llo "
Response.Write 42
Host.EndPage
CheckEqual "response text", Host.ResponseText, "h" & Chr(233) & "llo 42"
CheckEqual "response status", Host.ResponseStatus, "200 OK"
Host.QueryString = ""

' --- the process: its resident memory, and page contexts that outlive pages
Dim before, big
before = Host.ResidentKB
Check "resident memory is known", before > 0
big = String(8000000, "x")  ' 16 MB of characters, every page written
Check "resident memory follows the process's own allocations (" & before & " KB, then " & Host.ResidentKB & " KB)", _
      Host.ResidentKB - before >= 12000
big = Empty
CheckEqual "no context without a page", Host.LiveContexts, 0
Host.BeginPage
CheckEqual "the page's context", Host.LiveContexts, 1
Set Request = Host.Intrinsic("Request")
Host.EndPage
CheckEqual "a page object kept by the script does not keep the context", Host.LiveContexts, 0
Set Request = Nothing

' --- multipart bodies and the byte helpers
Host.MultipartBegin
Host.AddField "name", "value"
Host.AddFile "file", "a.txt", "text/plain", "AB" & Chr(0) & Chr(255)
CheckEqual "multipart length", Host.MultipartEnd, Len(Host.BodyText)
CheckEqual "content type", Host.ContentType, "multipart/form-data; boundary=" & Host.Boundary
CheckEqual "body", Host.BodyText, "--" & Host.Boundary & vbCrLf & _
    "Content-Disposition: form-data; name=""name""" & vbCrLf & vbCrLf & "value" & vbCrLf & _
    "--" & Host.Boundary & vbCrLf & _
    "Content-Disposition: form-data; name=""file""; filename=""a.txt""" & vbCrLf & _
    "Content-Type: text/plain" & vbCrLf & vbCrLf & "AB" & Chr(0) & Chr(255) & vbCrLf & _
    "--" & Host.Boundary & "--" & vbCrLf
data = Host.TextToBytes("AB" & Chr(0) & Chr(255))
CheckEqual "hex", Host.BytesToHex(data), "4142" & "00FF"
CheckEqual "byte count", Host.ByteCount(data), 4
CheckEqual "not an array", Host.ByteCount("text"), -1

Dim fso, path, stream
Set fso = CreateObject("Scripting.FileSystemObject")
path = fso.BuildPath(fso.GetSpecialFolder(2), "asphost-body.txt")
Set stream = fso.CreateTextFile(path, True)
stream.Write "file body"
stream.Close
CheckEqual "body from a file", Host.LoadBodyFromFile(path), 9
CheckEqual "file bytes", Host.BytesToText(Host.FileBytes(path)), "file body"
fso.DeleteFile path

On Error Resume Next
Set Request = Host.Intrinsic("Request")
CheckError "no page, no context", &H8004E004, "No page: call BeginPage first."
On Error GoTo 0

Summary
