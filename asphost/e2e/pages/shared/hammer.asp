<%
' Calls the component kept in Application by keep.asp (what=http or process)
' n times, as page number "page" of several running at once. Every answer is
' checked: one that only another page's value or nothing at all explains is
' reported. Answers "ok <calls>" or the first wrong answers.
Dim what, page, n, i, k, bad, answer, h, p, data, expected
what = Request.QueryString("what")
page = CLng(Request.QueryString("page"))
n = CLng(Request.QueryString("n"))
Response.ContentType = "text/plain"
bad = ""

' A value some page set: the prefix and a page number.
Function FromSomePage(value, prefix)
  FromSomePage = Left(value, Len(prefix)) = prefix And IsNumeric(Mid(value, Len(prefix) + 1))
End Function

Sub Check(ok, what)
  If Not ok And Len(bad) < 2000 Then bad = bad & what & "; "
End Sub

If what = "http" Then
  Set h = Application("http")
  expected = h.VariantToString(Application("plain"))
  For i = 1 To n
    For k = 1 To 4
      h.AddFormVar "page" & page & "-" & i & "-" & k, String(k * 40 + i Mod 50, "v")
    Next
    h.UserAgent = "agent-" & page
    answer = h.UserAgent
    Check FromSomePage(answer, "agent-"), "UserAgent " & answer
    h.TagName = "tag-" & page
    answer = h.TagName
    Check FromSomePage(answer, "tag-"), "TagName " & answer
    h.HTTPTimeout = 30 + page
    Check h.HTTPTimeout >= 30 And h.HTTPTimeout < 100, "HTTPTimeout"
    Check h.VariantToString(Application("plain")) = expected, "VariantToString"
    If i Mod 5 = 0 Then h.ClearFormVars
    If i Mod 100 = 0 Then
      Check h.VariantToString(h.DownloadData(Application("plainUrl"))) = expected, "DownloadData"
    End If
  Next
ElseIf what = "process" Then
  Set p = Application("process")
  For i = 1 To n
    k = (i * 7 + page) Mod 200
    answer = p.Value("field" & k)
    Check answer = "value-" & k, "Value(field" & k & ") " & answer
    Check p.VarName(k) = "field" & k, "VarName(" & k & ")"
    Check p.VarByIndex(k) = "value-" & k, "VarByIndex(" & k & ")"
    Check p.Value("missing" & i) = "", "Value(missing)"
    Check p.VarCount = 201, "VarCount " & p.VarCount
    Check p.FileName(0) = "shared.bin" And p.FileSize(0) = 4096, "file"
    p.OverwriteChr = Chr(65 + page)
    answer = p.OverwriteChr
    Check Len(answer) = 1 And answer >= "A" And answer <= "Z", "OverwriteChr " & answer
    p.MaxKB = 1000 + page
    Check p.MaxKB > 1000 And p.MaxKB < 1100, "MaxKB"
    p.SaveDirectPath = "C:\uploads\" & String(i Mod 300, "x") & page
    answer = p.SaveDirectPath
    Check Left(answer, 11) = "C:\uploads\", "SaveDirectPath " & Left(answer, 20)
  Next
End If
If bad = "" Then Response.Write "ok " & n Else Response.Write "wrong: " & bad
%>
