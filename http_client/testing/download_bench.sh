#!/bin/sh
# The peak memory of DownloadFile for answers of 512 MiB and 2 GiB: runs
# download-bench.exe under Wine against the test servers and prints, for
# each size, what it printed and the peak resident memory of its Wine process
# (VmHWM of /proc/<pid>/status, read until the process ends).
#   download_bench.sh <build dir>   (for example build/win64)
# The servers are started and stopped here; the file goes to the prefix's
# C:\users\Public and is removed at the end.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
state="$build/web-servers-bench"
trustca="$build/http_client/trustca.exe"
"$here/web_servers.sh" start "$state" "$trustca" >/dev/null
trap '"$here/web_servers.sh" stop "$state" "$trustca" >/dev/null' EXIT
port=$(awk '$1 == "http" { print $2 }' "$state/ports.txt")
export http_proxy= https_proxy=
for size in 536870912 2147483648; do
    "$root/tools/wine-run" "$build/http_client/download-bench.exe" \
        "http://127.0.0.1:$port/stream?n=$size" 'C:\users\Public\velmora-download-bench.bin' &
    runner=$!
    peak=
    while kill -0 "$runner" 2>/dev/null; do
        # The Wine process itself (the runner execs the loader, whose
        # process takes the program's name).
        pid=$(pgrep -n -f 'download-bench.exe' || true)
        [ -n "$pid" ] && peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo "$peak")
        sleep 0.2
    done
    wait "$runner" || true
    echo "  $size bytes: peak resident memory ${peak:-?} kB"
done
. "$root/tools/wine-env.sh"
rm -f "$WINEPREFIX/drive_c/users/Public/velmora-download-bench.bin"
