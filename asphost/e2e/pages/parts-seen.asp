<%@ Language="JScript" %>
<%
// What the upload object made of the request, one item a line, each field
// URI-encoded: "error <description>", "var <name> <value>" (repeats split
// out), "file <field> <file name> <base64 of the bytes>".
var up = Server.CreateObject("Velmora32.Process");
up.VarDelimiter = "\u0001";
try {
  up.Read();
} catch (e) {
  Response.Write("error " + encodeURIComponent(e.description) + "\n");
}
for (var i = 0; i < up.VarCount; i++) {
  var values = String(up.VarByIndex(i)).split("\u0001");
  for (var j = 0; j < values.length; j++)
    Response.Write("var " + encodeURIComponent(up.VarName(i)) + " " + encodeURIComponent(values[j]) + "\n");
}
for (var k = 0; k < up.FileQty; k++) {
  Response.Write("file " + encodeURIComponent(up.TagName(k)) + " " + encodeURIComponent(up.FileName(k)) + " " +
                 encodeURIComponent(String(up.FileAsBase64(k)).replace(/\s/g, "")) + "\n");
}
%>
