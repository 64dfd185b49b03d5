// One name saved under owAlways, ROUNDS times, by FileSave and by direct
// saving in turn, while other processes do the same into the same folder
// (one-name-at-once.sh): no save fails. With ROUNDS 0, once the others are
// done: the file there is one save's bytes, whole.
//   one-name-at-once.js FOLDER FILL ROUNDS   (FOLDER ends in "\", FILL one character)
var host = new ActiveXObject("Velmora32Test.Host");  // loads mtxex.dll first
var fso = new ActiveXObject("Scripting.FileSystemObject");
var folder = WScript.Arguments(0), fill = WScript.Arguments(1);
var rounds = Number(WScript.Arguments(2));
var size = 100000;
var line = "------WebKitFormBoundary7MA4YWxkTrZu0gW";
var text = line + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.bin\"\r\n\r\n" +
           new Array(size + 1).join(fill) + "\r\n" + line + "--\r\n";
host.ContentType = "multipart/form-data; boundary=" + line.substring(2);
var failures = 0;
for (var i = 0; i < rounds; i++) {
  host.LoadBodyFromString(text);
  host.BeginPage();
  var up = new ActiveXObject("Velmora32.Process");
  try {
    if (i % 2) {
      up.SaveDirect = true;
      up.SaveDirectPath = folder;
      up.SaveDirectName = "same.bin";
      up.Read();
    } else {
      up.Read();
      up.FileSave(folder + "same.bin", 0);
    }
  } catch (e) {
    failures++;
    WScript.Echo("save " + i + ": " + e.message);
  }
  up = null;
  CollectGarbage();
  host.EndPage();
}
if (rounds > 0) {
  checkEqual("failed saves", failures, 0);
} else {
  var stored = fso.OpenTextFile(folder + "same.bin").ReadAll();
  checkEqual("stored size", stored.length, size);
  checkEqual("one save's bytes", stored, new Array(size + 1).join(stored.charAt(0)));
}
summary();
