' Velmora32.Process over a server's lifetime, through the ASP stand-in: one
' process takes 100 KB uploads one page after another, in memory, direct to
' disk and with DumpHeader. Per way of reading, its resident memory after the
' last read may exceed that after the first 200 by at most 10 MB: a page
' whose upload stays behind shows as a steady climb, where the heap warming
' up does not. Prints the figures. Run by tools/run-script.sh.
Const kReads = 1000
Const kWarmUp = 200
Const kFileBytes = 102400
Const kMaxGrowthKB = 10240

Dim Host, fso, work, content, up, bodyLength
Set Host = CreateObject("Velmora32Test.Host")
Set fso = CreateObject("Scripting.FileSystemObject")
work = fso.BuildPath(fso.GetSpecialFolder(2), "velmora-soak-" & fso.GetTempName) & "\"
fso.CreateFolder work
content = String(kFileBytes / 4, "v") & String(kFileBytes / 4, Chr(0)) & String(kFileBytes / 2, Chr(255))

Function FileSize(path)
    FileSize = -1
    If fso.FileExists(path) Then FileSize = fso.GetFile(path).Size
End Function

' One page with a fresh body; True when the page got the whole file.
Function ReadOnePage(way, n)
    Host.MultipartBegin
    Host.AddField "n", CStr(n)
    Host.AddFile "file", "soak.bin", "application/octet-stream", content
    bodyLength = Host.MultipartEnd
    Host.BeginPage
    Set up = CreateObject("Velmora32.Process")
    Select Case way
    Case "in memory"
        up.Read
        ReadOnePage = up.FileSize(0) = kFileBytes And up.Value("n") = CStr(n)
    Case "direct"
        If fso.FileExists(work & "soak.bin") Then fso.DeleteFile work & "soak.bin"
        up.SaveDirect = True
        up.SaveDirectPath = work
        up.SaveDirectUseExistingName = True
        up.Read
        ReadOnePage = FileSize(work & "soak.bin") = kFileBytes And up.Value("n") = CStr(n)
    Case "DumpHeader"
        If fso.FileExists(work & "raw.bin") Then fso.DeleteFile work & "raw.bin"
        up.DumpHeader work & "raw.bin"
        ReadOnePage = FileSize(work & "raw.bin") = bodyLength
    End Select
    Set up = Nothing
    Host.EndPage
End Function

Dim way, n, whole, afterWarmUp, afterLast, growth
For Each way In Array("in memory", "direct", "DumpHeader")
    whole = 0
    For n = 1 To kReads
        If ReadOnePage(way, n) Then whole = whole + 1
        If n = kWarmUp Then afterWarmUp = Host.ResidentKB
    Next
    afterLast = Host.ResidentKB
    growth = afterLast - afterWarmUp
    WScript.Echo way & ": " & kReads & " reads of " & bodyLength & " bytes; resident " & afterWarmUp & _
                 " KB after " & kWarmUp & ", " & afterLast & " KB after " & kReads & ": " & growth & " KB (" & _
                 FormatNumber(growth / (kReads - kWarmUp), 2) & " KB per read)"
    CheckEqual way & ": reads that got the whole upload", whole, kReads
    Check way & ": grows at most " & kMaxGrowthKB & " KB after the first " & kWarmUp & " reads", _
          growth <= kMaxGrowthKB
Next

fso.DeleteFolder Left(work, Len(work) - 1), True
Summary
