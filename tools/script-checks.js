// The checks every JScript test shares; tools/run-script.sh puts them in
// front of the test, as cscript has no include of its own.
var passed = 0, failed = 0;

function checkEqual(name, actual, expected) {
  if (actual === expected) {
    passed++;
  } else {
    failed++;
    WScript.Echo("FAILED: " + name + ": got [" + actual + "], expected [" + expected + "]");
  }
}

// The closing line tools/run-script.sh looks for.
function summary() {
  WScript.Echo(passed + " passed, " + failed + " failed");
}
