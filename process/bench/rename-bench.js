// Cost of one file name many times under owRename, as a page meets it: the
// ASP stand-in serves a body of one-byte files all named a.txt; the page saves
// them directly (SaveDirect) and, from memory, with FileSave in a loop, into
// an empty folder. Prints the cost per file at 250 and 2000 files and the
// ratio of the two for each way: a cost that grows with the files saved
// before shows as a ratio well above 1. A measurement: it checks the names,
// never the time. Run by tools/run-script.sh (the last line is the summary).

var host = new ActiveXObject("Velmora32Test.Host");  // loads mtxex.dll first
var fso = new ActiveXObject("Scripting.FileSystemObject");
var line = "------WebKitFormBoundary7MA4YWxkTrZu0gW";
// The page is told the body's type, as a browser's request tells it.
host.ContentType = "multipart/form-data; boundary=" + line.substring(2);
var root = fso.GetSpecialFolder(2).Path + "\\velmora-rename-bench-" + new Date().getTime();
fso.CreateFolder(root);

function body(count) {
  var parts = [];
  for (var i = 0; i < count; i++)
    parts.push(line + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\nx\r\n");
  parts.push(line + "--\r\n");
  return parts.join("");
}

function freshFolder(name) {
  var folder = root + "\\" + name;
  if (fso.FolderExists(folder)) fso.DeleteFolder(folder, true);
  fso.CreateFolder(folder);
  return folder + "\\";
}

// Milliseconds to store count files of one name, and a check of the names.
function direct(count, text) {
  var folder = freshFolder("direct");
  host.LoadBodyFromString(text);
  host.BeginPage();
  var up = new ActiveXObject("Velmora32.Process");
  up.OverwriteMode = 2;
  up.SaveDirect = true;
  up.SaveDirectPath = folder;
  up.SaveDirectUseExistingName = true;
  var start = new Date().getTime();
  up.Read();
  var ms = new Date().getTime() - start;
  checkEqual(count + " direct: last name", up.NewName(count - 1), "a~" + (count - 1) + ".txt");
  up = null;
  CollectGarbage();
  host.EndPage();
  checkEqual(count + " direct: files", fso.GetFolder(folder).Files.Count, count);
  return ms;
}

function fileSave(count, text) {
  var folder = freshFolder("filesave");
  host.LoadBodyFromString(text);
  host.BeginPage();
  var up = new ActiveXObject("Velmora32.Process");
  up.OverwriteMode = 2;
  up.Read();
  var start = new Date().getTime();
  for (var i = 0; i < count; i++) up.FileSave(folder + "a.txt", i);
  var ms = new Date().getTime() - start;
  checkEqual(count + " FileSave: last name", up.NewName(count - 1), "a~" + (count - 1) + ".txt");
  up = null;
  CollectGarbage();
  host.EndPage();
  checkEqual(count + " FileSave: files", fso.GetFolder(folder).Files.Count, count);
  return ms;
}

var small = 250, large = 2000;
var bodies = {};
bodies[small] = body(small);
bodies[large] = body(large);
var ways = [["direct saving", direct], ["FileSave", fileSave]];
for (var w = 0; w < ways.length; w++) {
  var perFile = {};
  var counts = [small, large];
  for (var c = 0; c < counts.length; c++) {
    var n = counts[c];
    // The small count as many times as the large one holds, so both store as
    // many files under the machine's same conditions.
    var runs = n == small ? large / small : 1, ms = 0;
    for (var r = 0; r < runs; r++) ms += ways[w][1](n, bodies[n]);
    perFile[n] = ms / (runs * n);
    WScript.Echo(ways[w][0] + ", " + n + " files of one name: " + (1000 * perFile[n]).toFixed(0) + " us/file");
  }
  WScript.Echo(ways[w][0] + ": per-file cost " + large + "/" + small + " files = " +
               (perFile[large] / perFile[small]).toFixed(2));
}
fso.DeleteFolder(root, true);
summary();
