#!/bin/bash
# The ASP host under load: 3000 uploads of random shapes from 16 clients at
# once, every answer and stored byte checked (asphost/e2e/load.mjs against
# asphost/e2e/pages/load.asp). Prints the throughput and the host's memory
# before and after. A measurement, not a test: it fails only on a wrong
# answer or byte, a staging file left, or a host that stops answering.
#   tools/host-load.sh [uploads] [clients]    (needs build/win32; built if missing)
# VELMORA_WINE_ARCH=win64 loads the 64-bit host of build/win64 instead.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
arch=${VELMORA_WINE_ARCH:-win32}
build="$here/${BUILD:-build}/$arch"
host="$build/asphost/bin/asphost.exe"
dll="$build/dll/velmora32.dll"

if [ "$arch" = win32 ]; then "$here/tools/ensure-win32.sh" "$build"; else "$here/tools/wineprefix.sh"; fi
"$here/asphost/e2e/with-host.sh" "$host" "$dll" "$here/build/host-load" \
    node "$here/asphost/e2e/load.mjs" "${1:-3000}" "${2:-16}"
