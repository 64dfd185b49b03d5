#!/bin/sh
# The product's main job: velmora32.dll registered in the project's Wine
# prefix, and an upload page run through the ASP stand-in (mtxex.dll and
# Velmora32Test.Host) under cscript, printing what the upload object saw.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build/win32"
dll="$build/server/velmora32.dll"
standin="$build/asphost/bin/mtxex.dll"
run="$here/tools/wine-run"
# Wine's services start detached from this script's output (see with-wineserver).
if [ -z "${VELMORA_DEMO_SERVICES:-}" ]; then
    VELMORA_DEMO_SERVICES=1 exec "$here/tools/with-wineserver" "$0" "$@"
fi
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }

"$here/tools/check-imports.sh" "$dll"
"$run" regsvr32 /s "$(windows_path "$dll")" </dev/null >/dev/null 2>&1
"$run" regsvr32 /s "$(windows_path "$standin")" </dev/null >/dev/null 2>&1
# regsvr32 /s says nothing: the registry tells whether it worked.
"$run" reg query 'HKCR\Velmora32.Process\Clsid' </dev/null >/dev/null 2>&1 ||
    { echo "demo: velmora32.dll did not register"; exit 1; }
echo "demo: velmora32.dll registered in $here/build/wineprefix"

# Pages find their context through mtxex.dll, the road of Windows NT 4: this
# cscript is told it runs there.
"$run" reg add 'HKCU\Software\Wine\AppDefaults\cscript.exe' /v Version /d nt40 /f </dev/null >/dev/null 2>&1
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$run" cscript //nologo "$(windows_path "$here/server/scripts/demo.vbs")" </dev/null >"$log" 2>&1 || true
tr -d '\r' <"$log"
grep -q '^demo: done' "$log" || { echo "demo: the page stopped early"; exit 1; }
