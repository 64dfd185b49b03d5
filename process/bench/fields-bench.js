// Cost of form variables under Wine, as a page script meets them: the ASP
// stand-in serves a body of many small fields, the script calls Read and then
// lists every variable through VarName, VarByIndex and Value. Prints the cost
// per field for each count (the least of three runs) and the ratio of the
// largest count's to the smallest's. A measurement: it checks the results,
// never the time. Run by tools/run-script.sh (the last line is the summary);
// the arguments are the field counts (default 2000 16000), and "runs=N" for
// another number of runs than 3.

var host = new ActiveXObject("Velmora32Test.Host");  // loads mtxex.dll first
var line = "------WebKitFormBoundary7MA4YWxkTrZu0gW";

function fieldsBody(count) {
  var parts = [];
  for (var i = 0; i < count; i++)
    parts.push(line + "\r\nContent-Disposition: form-data; name=\"field" + i + "\"\r\n\r\nvalue " + i + "\r\n");
  parts.push(line + "--\r\n");
  return parts.join("");
}

// Milliseconds of one Read and one listing; the listing's characters are
// counted so that a wrong answer shows.
function readAndList(body, count) {
  host.LoadBodyFromString(body);
  host.BeginPage();
  var up = new ActiveXObject("Velmora32.Process");
  var start = new Date().getTime();
  up.Read();
  var read = new Date().getTime();
  var characters = 0;
  var n = up.VarCount;
  for (var i = 0; i < n; i++) {
    var name = up.VarName(i);
    characters += name.length + up.VarByIndex(i).length + up.Value(name).length;
  }
  var listed = new Date().getTime();
  up = null;
  CollectGarbage();
  host.EndPage();

  var expected = 0;
  for (var k = 0; k < count; k++) expected += 5 + 2 * 6 + 3 * String(k).length;
  checkEqual(count + " fields: VarCount", n, count);
  checkEqual(count + " fields: characters listed", characters, expected);
  return { read: read - start, listing: listed - read };
}

var counts = [], runs = 3;
for (var a = 0; a < WScript.Arguments.length; a++) {
  var argument = String(WScript.Arguments(a));
  if (argument.indexOf("runs=") == 0) runs = parseInt(argument.substring(5), 10);
  else counts.push(parseInt(argument, 10));
}
if (counts.length == 0) counts = [2000, 16000];

var perField = [];
for (var c = 0; c < counts.length; c++) {
  var count = counts[c];
  var body = fieldsBody(count);
  var best = null;
  for (var run = 0; run < runs; run++) {
    var t = readAndList(body, count);
    if (best == null || t.read + t.listing < best.read + best.listing) best = t;
  }
  var us = function (ms) { return (1000 * ms / count).toFixed(1); };
  WScript.Echo(count + " fields: Read " + us(best.read) + " us/field, listing " + us(best.listing) +
               " us/field, together " + us(best.read + best.listing) + " us/field");
  perField.push((best.read + best.listing) / count);
}
WScript.Echo("per-field cost " + counts[counts.length - 1] + "/" + counts[0] + " fields = " +
             (perField[perField.length - 1] / perField[0]).toFixed(2));
summary();
