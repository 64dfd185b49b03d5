' The checks every VBScript test shares; tools/run-script.sh puts them in
' front of the test, as cscript has no include of its own.
Option Explicit

Dim passed, failed
passed = 0
failed = 0

Sub Check(name, condition)
    If condition Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAILED: " & name
    End If
End Sub

Sub CheckEqual(name, actual, expected)
    If actual = expected Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAILED: " & name & ": got [" & actual & "], expected [" & expected & "]"
    End If
End Sub

' The closing line tools/run-script.sh looks for.
Sub Summary()
    WScript.Echo passed & " passed, " & failed & " failed"
End Sub
