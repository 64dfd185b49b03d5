#!/bin/bash
# Upload throughput of the ASP host with velmora32.dll against a Node server
# parsing with busboy: the same 200 MB file sent by the same curl, in memory
# (upload.asp: Read, then FileSave) and direct to disk (direct-upload.asp),
# and to Node (busboy, streams written to disk). Prints the throughputs,
# their ratios and the host's peak memory in each mode. A measurement, not
# a test: nothing fails on a slow machine.
#   tools/host-bench.sh [size in MB]    (needs build/win32; built if missing)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/${BUILD:-build}/win32"
size_mb=${1:-200}
work="$here/build/host-bench"
host="$build/asphost/bin/asphost.exe"
dll="$build/server/velmora32.dll"

if [ ! -f "$host" ] || [ ! -f "$dll" ]; then
    echo "host-bench: building the win32 configuration first"
    cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" >/dev/null
    cmake --build "$build" -j"$(nproc)" >/dev/null
fi
"$here/tools/wineprefix.sh"
[ -d "$here/asphost/e2e/node_modules/busboy" ] ||
    npm ci --no-audit --no-fund --prefix "$here/asphost/e2e" >/dev/null

mkdir -p "$work"
file="$work/upload-${size_mb}mb.bin"
[ -f "$file" ] && [ "$(stat -c %s "$file")" -eq $((size_mb * 1048576)) ] ||
    head -c $((size_mb * 1048576)) /dev/urandom >"$file"

# curl's own measure of one upload: seconds for the whole exchange.
upload() {  # upload <url> <file field> -> seconds
    curl -sS --fail -o /dev/null -w '%{time_total}\n' -F "$2=@$file" "$1"
}
mbps() { awk -v mb="$size_mb" -v s="$1" 'BEGIN { printf "%.1f", mb / s }'; }

# One host per mode, so that each peak is that mode's own.
measure_host() {  # measure_host <name> <page> <field>
    "$here/asphost/e2e/with-host.sh" "$host" "$dll" "$work/$1" bash -c '
        seconds=$(curl -sS --fail -o /dev/null -w "%{time_total}" -F "'"$3"'=@'"$file"'" "$ASPHOST_URL/'"$2"'")
        peak=$(awk "/^VmHWM/ { print int(\$2 / 1024) }" /proc/$ASPHOST_PID/status)
        echo "$seconds $peak"' | tail -n 1
}

echo "host-bench: uploading a ${size_mb} MB file with $(curl --version | head -n 1 | cut -d' ' -f1-2)"
result=$(measure_host memory upload.asp file1)
read -r memory_s memory_peak <<<"$result"
result=$(measure_host direct direct-upload.asp file)
read -r direct_s direct_peak <<<"$result"

rm -rf "$work/busboy"
node "$here/asphost/e2e/busboy-server.mjs" "$work/busboy" >"$work/busboy.log" &
node_pid=$!
trap 'kill $node_pid 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do node_url=$(head -n 1 "$work/busboy.log"); [ -n "$node_url" ] && break; sleep 0.1; done
node_s=$(upload "$node_url/" file)
cmp -s "$file" "$work/busboy/$(basename "$file")" || echo "host-bench: busboy stored different bytes"
cmp -s "$file" "$work/memory/site/uploads/$(basename "$file")" || echo "host-bench: the host (in memory) stored different bytes"
cmp -s "$file" "$work/direct/site/uploads/$(basename "$file")" || echo "host-bench: the host (direct) stored different bytes"

printf '%-34s %8s MB/s  %6.2fs  peak %s MB\n' "asphost + velmora32, in memory" "$(mbps "$memory_s")" "$memory_s" "$memory_peak"
printf '%-34s %8s MB/s  %6.2fs  peak %s MB\n' "asphost + velmora32, direct" "$(mbps "$direct_s")" "$direct_s" "$direct_peak"
printf '%-34s %8s MB/s  %6.2fs\n' "node $(node --version) + busboy" "$(mbps "$node_s")" "$node_s"
awk -v m="$memory_s" -v d="$direct_s" -v n="$node_s" 'BEGIN {
    printf "ratio host/node: in memory %.2f, direct %.2f (above 1: the host is faster)\n", n / m, n / d }'
