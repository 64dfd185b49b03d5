// Velmora32.Process from JScript, through the ASP stand-in: byte arrays
// (bounds 1..n, read through the stand-in: Wine's VBArray takes arrays of
// variants only), property reads with arguments, errors as exceptions. Run by
// tools/run-script.sh; the last line is the summary.

var host = new ActiveXObject("Velmora32Test.Host");  // loads mtxex.dll first
host.MultipartBegin();
host.AddField("name", "Ada");
host.AddFile("pic", "p.bin", "application/octet-stream", "\x00\x01\xff");
host.AddFile("empty", "e.txt", "text/plain", "");
host.MultipartEnd();
host.BeginPage();

var up = new ActiveXObject("Velmora32.Process");
up.Read();
checkEqual("Value", up.Value("NAME"), "Ada");
checkEqual("FileQty", up.FileQty, 2);

var bytes = up.FileData(0);
checkEqual("lower bound", host.LowerBound(bytes), 1);
checkEqual("upper bound", host.UpperBound(bytes), 3);
checkEqual("elements", host.BytesToHex(bytes), "0001FF");

var empty = up.FileData(1);
checkEqual("empty file: lower bound", host.LowerBound(empty), 1);
checkEqual("empty file: upper bound", host.UpperBound(empty), 0);
checkEqual("empty file: Base64", up.FileAsBase64(1), "");

try {
  // The result is used: Wine's JScript asks for a property read only then.
  var size = up.FileSize(7);
  checkEqual("FileSize(7) fails", size, "an error");
} catch (e) {
  checkEqual("error number", (e.number >>> 0).toString(16), "8000ffff");
  checkEqual("error description", e.description, "Index out of range or no file uploaded.");
}

up.Charset = "windows-1252";
checkEqual("Charset", up.Charset, "WINDOWS-1252");
up.Charset = "iso-8859-1";
checkEqual("other charsets mean UTF-8", up.Charset, "UTF-8");
checkEqual("DecodeUTF8 returns its input", up.DecodeUTF8("\u00c3\u00a9"), "\u00c3\u00a9");
var guid = up.CreateGUID();
checkEqual("CreateGUID", /^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$/.test(guid), true);
checkEqual("a new GUID each time", up.CreateGUID() !== guid, true);
up = null;
CollectGarbage();
host.EndPage();

summary();
