#!/bin/sh
# Creates the project's Wine prefix once: the 32-bit build/wineprefix by
# default, the 64-bit build/wineprefix64 (which runs 32-bit programs too) with
# VELMORA_WINE_ARCH=win64 (see tools/wine-env.sh).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tools/wine-env.sh"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    echo "wineprefix: creating $WINEPREFIX"
    "$wine_loader" wineboot -i >/dev/null 2>&1
    wineserver -w
fi
