#!/bin/sh
# The product's main job, as far as it is built: velmora32.dll, registered in
# the project's Wine prefix.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
dll="$here/build/win32/server/velmora32.dll"
"$here/tools/check-imports.sh" "$dll"
if i686-w64-mingw32-objdump -p "$dll" | grep -q DllRegisterServer; then
    "$here/tools/wine-run" regsvr32 /s "$(winepath -w "$dll" 2>/dev/null || echo "$dll")"
    echo "demo: velmora32.dll registered in $here/build/wineprefix"
else
    echo "demo: velmora32.dll built; it cannot register itself yet (no DllRegisterServer)"
fi
