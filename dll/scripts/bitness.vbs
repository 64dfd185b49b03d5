' Which velmora32.dll this cscript gets, when the 32-bit and the 64-bit one
' are registered side by side: run by side-by-side.sh once in each bitness.
' The argument is the Version ending this process must see, "(32 bit)" or
' "(64 bit)", or "none" when neither class may be found. Run by
' tools/run-script.sh; the last line is the summary it checks.

Dim expected, upload, client, created, createdClient, name
expected = WScript.Arguments(0)

On Error Resume Next
Set upload = CreateObject("Velmora32.Process")
created = (Err.Number = 0)
Err.Clear
Set client = CreateObject("Velmora32.HTTP")
createdClient = (Err.Number = 0)
Err.Clear
On Error GoTo 0

If expected = "none" Then
    Check "Velmora32.Process is not registered for this bitness", Not created
    Check "Velmora32.HTTP is not registered for this bitness", Not createdClient
Else
    Check "Velmora32.Process is created", created
    Check "Velmora32.HTTP is created", createdClient
    If created Then
        CheckEqual "Version names this process's bitness", Right(upload.Version, Len(expected)), expected

        ' A failing member reaches the script with its error information.
        On Error Resume Next
        name = upload.FileName(0)
        CheckEqual "FileName(0) with no upload (number)", Hex(Err.Number), "8000FFFF"
        CheckEqual "FileName(0) with no upload (source)", Err.Source, "Velmora32.Process"
        CheckEqual "FileName(0) with no upload (description)", Err.Description, _
                   "Index out of range or no file uploaded."
        Err.Clear
        On Error GoTo 0
    End If
    If createdClient Then
        client.HTTPTimeout = 42
        CheckEqual "HTTP object keeps a setting", client.HTTPTimeout, 42
    End If
End If
Summary
