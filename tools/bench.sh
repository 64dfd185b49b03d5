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
# (process/bench/fields-bench.js), and one file name many times
# (rename-bench.js). Needs the win32 configuration beside this one (win64
# where the machine runs no 32-bit programs); it is built when missing.
here=$(cd "$(dirname "$0")/.." && pwd)
arch=win32
"$here/tools/runs-32bit.sh" || arch=win64
export VELMORA_WINE_ARCH=$arch
windows="$(dirname "$dir")/$arch"
"$here/tools/ensure-win32.sh" "$windows"
echo "== process/bench/fields-bench.js (Wine)"
"$here/tools/with-wineserver" "$here/tools/run-script.sh" --register "$windows/asphost/bin/mtxex.dll" \
    --register "$windows/dll/velmora32.dll" "$here/process/bench/fields-bench.js"
echo "== process/bench/rename-bench.js (Wine)"
"$here/tools/with-wineserver" "$here/tools/run-script.sh" --register "$windows/asphost/bin/mtxex.dll" \
    --register "$windows/dll/velmora32.dll" "$here/process/bench/rename-bench.js"
