#!/bin/sh
# Creates the project's Wine prefix once: the 32-bit build/wineprefix by
# default, the 64-bit build/wineprefix64 (which runs 32-bit programs too) with
# VELMORA_WINE_ARCH=win64 (see tools/wine-env.sh). 32-bit Wine runs through
# tools/with-qemu-i386, so on a machine whose kernel runs no 32-bit program
# the prefix is made inside its namespace (a 64-bit prefix made outside it
# gets no 32-bit half). A prefix counts as made only once wineboot finished
# and its Windows folders are there: one whose creation failed or stopped
# half-way is made anew, never reused.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tools/wine-env.sh"
export WINEDEBUG=-all
made="$WINEPREFIX/.velmora-prefix-made"
[ -f "$made" ] && exit 0

if [ "${VELMORA_I386_EMULATED:-}" != 1 ] && ! "$here/tools/runs-32bit.sh"; then
    case "${VELMORA_WINE_ARCH:-win32}" in
        win64)  # the 64-bit half alone where no 32-bit program can run
            exec "$here/tools/with-qemu-i386" --if-possible "$0" ;;
        *)
            exec "$here/tools/with-qemu-i386" "$0" ;;
    esac
fi

windows="$WINEPREFIX/drive_c/windows"
if [ -e "$WINEPREFIX" ]; then
    case "$WINEPREFIX" in
        "$here"/*) ;;
        *)  # a folder outside the worktree may be someone's own prefix
            echo "wineprefix: $WINEPREFIX was not made by this script, or not whole: remove it first" >&2
            exit 1 ;;
    esac
    echo "wineprefix: $WINEPREFIX was not made whole: making it anew"
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
fi
mkdir -p "$WINEPREFIX"
echo "wineprefix: creating $WINEPREFIX"
"$wine_loader" wineboot -i >/dev/null 2>&1 || { echo "wineprefix: wineboot failed in $WINEPREFIX" >&2; exit 1; }
wineserver -w
[ -f "$windows/system32/kernel32.dll" ] || { echo "wineprefix: $windows/system32 is empty" >&2; exit 1; }
if [ "$WINEARCH" = win64 ] && "$here/tools/runs-32bit.sh" &&
   [ ! -f "$windows/syswow64/kernel32.dll" ]; then
    echo "wineprefix: the 32-bit half of $WINEPREFIX ($windows/syswow64) is empty" >&2
    exit 1
fi
touch "$made"
