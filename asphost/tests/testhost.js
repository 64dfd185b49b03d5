// The stand-in from JScript, which calls members differently from VBScript
// (no by-reference arguments, calls as property gets), for the JScript tests
// and pages that use it. The last line is the summary tools/run-script.sh checks.

function errorOf(call) {
    try {
        call();
    } catch (e) {
        return e;
    }
    return null;
}

var host = new ActiveXObject("Velmora32Test.Host");
checkEqual("told Windows NT 4.0", host.WindowsVersion, "4.0");

host.MultipartBegin("XyZ");
host.AddField("caption", "caf\u00e9");
host.AddFile("upload", "a.bin", "", "\u0000\u0001\u00ff");
var length = host.MultipartEnd();
checkEqual("multipart length", length, host.BodyText.length);
checkEqual("UTF-8 field", host.BodyText.indexOf("caf\u00c3\u00a9") > 0, true);
checkEqual("default content type", host.BodyText.indexOf("Content-Type: application/octet-stream") > 0, true);

host.MapPathRoot = "C:\\www";
host.PagePath = "/upload/read.asp";
host.QueryString = "id=42";
host.BeginPage();
var Request = host.Intrinsic("Request");
var Server = host.Intrinsic("Server");
var Application = host.Intrinsic("Application");

checkEqual("TotalBytes", Request.TotalBytes, length);
var data = Request.BinaryRead(5);
checkEqual("read bytes", host.BytesToText(data), "--XyZ");
// Wine's JScript refuses byte arrays in new VBArray(); the host's helpers read them.
checkEqual("byte count", host.ByteCount(data), 5);
checkEqual("read log", host.ReadLog, "I4:5:5");
checkEqual("Request(name)", String(Request("id")), "42");
checkEqual("QueryString item", Request.QueryString("id").Item(), "42");
checkEqual("MapPath", Server.MapPath("."), "C:\\www\\upload");

// Wine's JScript cannot assign to a call (Application("k") = v is a syntax
// error there), so this page only reads and removes.
checkEqual("missing Application value", Application("done"), undefined);
checkEqual("Contents count", Application.Contents.Count, 0);
Application.Contents.Remove("done");
checkEqual("log", host.ApplicationLog, "remove done");

host.FailCall("Response.IsClientConnected", 0x80004005 | 0, "Connection lost.");
var e = errorOf(function () { host.Intrinsic("Response").IsClientConnected(); });
checkEqual("planned failure number", e && (e.number >>> 0).toString(16), "80004005");
checkEqual("planned failure description", e && e.description, "Connection lost.");
host.EndPage();

summary();
