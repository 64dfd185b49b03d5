#!/bin/bash
# The ASP host over a server's lifetime: 10000 uploads of 100 KB in a row,
# taken in turn by a page reading in memory, direct to disk and with
# DumpHeader (asphost/e2e/soak.mjs against asphost/e2e/pages/soak.asp).
# Prints the host's resident memory along the way and its growth per upload.
# A measurement, not a test: it fails only when the host dies or stops
# answering (make check runs 1000 uploads with a limit on the growth).
#   tools/host-soak.sh [uploads]    (needs build/win32; built if missing)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/${BUILD:-build}/${VELMORA_WINE_ARCH:-win32}"  # win64: the 64-bit DLL and host
uploads=${1:-10000}
host="$build/asphost/bin/asphost.exe"
dll="$build/dll/velmora32.dll"

"$here/tools/ensure-win32.sh" "$build"
"$here/asphost/e2e/with-host.sh" "$host" "$dll" "$here/build/host-soak" \
    node "$here/asphost/e2e/soak.mjs" "$uploads"
