// Cost of form variables under Wine, as a page script meets them: the ASP
// stand-in serves a body of many small fields, the script calls Read and then
// lists every variable through VarName, VarByIndex and Value. Prints the cost
// per field for each count and the ratio of the largest count's to the
// smallest's. A measurement: it checks the results, never the time. Run by
// tools/run-script.sh (the last line is the summary); the arguments are the
// field counts (default 2000 16000), and "rounds=N" for another number of
// rounds than 3.

var host = new ActiveXObject("Velmora32Test.Host");  // loads mtxex.dll first
var line = "------WebKitFormBoundary7MA4YWxkTrZu0gW";
// The page is told the body's type, as a browser's request tells it.
host.ContentType = "multipart/form-data; boundary=" + line.substring(2);

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

// In a round every count reads about as many fields (the largest count
// once, smaller ones as many times as fit), so that the counts of a round
// share the machine's conditions; the figures are medians over the rounds.
var counts = [], rounds = 3;
for (var a = 0; a < WScript.Arguments.length; a++) {
  var argument = String(WScript.Arguments(a));
  if (argument.indexOf("rounds=") == 0) rounds = parseInt(argument.substring(7), 10);
  else counts.push(parseInt(argument, 10));
}
if (counts.length == 0) counts = [2000, 16000];

function median(values) {
  var sorted = values.slice(0).sort(function (x, y) { return x - y; });
  return sorted[Math.floor(sorted.length / 2)];
}

var largest = Math.max.apply(null, counts);
var bodies = [], reads = [], listings = [], ratios = [];
for (var c = 0; c < counts.length; c++) {
  bodies.push(fieldsBody(counts[c]));
  reads.push([]);
  listings.push([]);
}
for (var round = 0; round < rounds; round++) {
  var perField = [];
  for (var c = 0; c < counts.length; c++) {
    var runs = Math.max(1, Math.floor(largest / counts[c])), read = 0, listing = 0;
    for (var run = 0; run < runs; run++) {
      var t = readAndList(bodies[c], counts[c]);
      read += t.read;
      listing += t.listing;
    }
    var fields = runs * counts[c];
    reads[c].push(1000 * read / fields);
    listings[c].push(1000 * listing / fields);
    perField.push((read + listing) / fields);
  }
  ratios.push(perField[perField.length - 1] / perField[0]);
}
for (var c = 0; c < counts.length; c++) {
  var r = median(reads[c]), l = median(listings[c]);
  WScript.Echo(counts[c] + " fields: Read " + r.toFixed(1) + " us/field, listing " + l.toFixed(1) +
               " us/field, together " + (r + l).toFixed(1) + " us/field");
}
WScript.Echo("per-field cost " + counts[counts.length - 1] + "/" + counts[0] + " fields = " +
             median(ratios).toFixed(2));
summary();
