#!/bin/sh
# Runs every benchmark program of a benchmark build (Release, no sanitizers).
set -eu
dir=$1
found=0
for b in $(find "$dir" -type f -name '*-bench' -perm -u+x | sort); do
    found=1
    echo "== $b"
    "$b"
done
[ $found -eq 1 ] || echo "bench: no benchmark programs in $dir"

# Form variables under Wine, as a page meets them: the ASP stand-in and a
# cscript page reading and listing 2000 and 16000 fields
# (process/bench/fields-bench.js). Needs the win32 configuration beside this
# one; it is built when missing.
here=$(cd "$(dirname "$0")/.." && pwd)
win32="$(dirname "$dir")/win32"
"$here/tools/ensure-win32.sh" "$win32"
echo "== process/bench/fields-bench.js (Wine)"
"$here/tools/with-wineserver" "$here/tools/run-script.sh" --register "$win32/asphost/bin/mtxex.dll" \
    --register "$win32/dll/velmora32.dll" "$here/process/bench/fields-bench.js"
