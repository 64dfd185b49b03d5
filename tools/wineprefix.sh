#!/bin/sh
# Creates the project's 32-bit Wine prefix once (build/wineprefix by default).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${VELMORA_WINEPREFIX:-$here/build/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    echo "wineprefix: creating $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
