#!/bin/sh
# Runs a test program with a 1 MB drive T: in the project's Wine prefix, for
# the cases where a write fails part-way because the disk is full. Mounting
# needs root: elsewhere the test is reported as skipped (CTest code 77).
#   tools/with-small-drive.sh <program> [args...]
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tools/wine-env.sh"  # the prefix of VELMORA_WINE_ARCH, as tools/wine-run picks it
prefix="$WINEPREFIX"
mnt=$(mktemp -d)
if ! mount -t tmpfs -o size=1m tmpfs "$mnt" 2>/dev/null; then
    rmdir "$mnt"
    echo "SKIPPED: cannot mount a 1 MB tmpfs as a small drive (needs root)"
    exit 77
fi
link="$prefix/dosdevices/t:"
rm -f "$link"
ln -s "$mnt" "$link"
cleanup() { rm -f "$link"; umount "$mnt"; rmdir "$mnt"; }
trap cleanup EXIT
VELMORA_SMALL_DRIVE='T:\' WINEDEBUG=-all "$@"
