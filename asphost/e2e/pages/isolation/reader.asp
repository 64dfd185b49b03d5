<%
' Reads this request's upload with the upload object kept in Application,
' publishing progress under "id".
Dim p
Set p = Application("reader")
p.ProgressID = Request.QueryString("id")
p.ShowProgress = True
p.Read
Response.Write "read " & p.VarCount
%>
