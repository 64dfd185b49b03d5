#!/bin/bash
# Upload throughput of the ASP host with velmora32.dll against a Node server
# parsing with busboy: the same 200 MB file sent by the same curl, in memory
# (upload.asp: Read, then FileSave) and direct to disk (direct-upload.asp),
# and to Node (busboy, streams written to disk). Prints the throughputs,
# their ratios and the host's peak memory in each mode. A measurement, not
# a test: nothing fails on a slow machine.
#
# The three servers run side by side and the rounds take turns between them,
# so that other work on the machine slows each alike; each figure is the
# median of its rounds. One host per mode, so that each peak is that mode's
# own (the highest of its rounds).
#   tools/host-bench.sh [size in MB] [rounds]    (build/win32, built if missing; build/win64 with VELMORA_WINE_ARCH=win64)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-200}
rounds=${2:-5}
[ "$rounds" -ge 2 ] || { echo "host-bench: at least 2 rounds (the first is cold)" >&2; exit 2; }
work="$here/build/host-bench"
. "$here/tools/host-bench-env.sh"
[ -d "$here/asphost/e2e/node_modules/busboy" ] ||
    npm ci --no-audit --no-fund --prefix "$here/asphost/e2e" >/dev/null

mkdir -p "$work"
file="$work/upload-${size_mb}mb.bin"
[ -f "$file" ] && [ "$(stat -c %s "$file")" -eq $((size_mb * 1048576)) ] ||
    head -c $((size_mb * 1048576)) /dev/urandom >"$file"
name=$(basename "$file")

rm -rf "$work/busboy"
node "$here/asphost/e2e/busboy-server.mjs" "$work/busboy" >"$work/busboy.log" &
node_pid=$!
trap 'kill $node_pid 2>/dev/null || true' EXIT
node_url=""
for _ in $(seq 1 100); do node_url=$(head -n 1 "$work/busboy.log"); [ -n "$node_url" ] && break; sleep 0.1; done

# curl's own measure of one upload: seconds for the whole exchange. The
# stored copy is compared with the file, then removed for the next round.
upload() {  # upload <url> <file field> <where the server stores it> <label>
    local seconds
    seconds=$(curl -sS --fail -o /dev/null -w '%{time_total}' -F "$2=@$BENCH_FILE" "$1")
    cmp -s "$BENCH_FILE" "$3/$BENCH_NAME" || echo "host-bench: $4 stored different bytes" >&2
    rm -f "$3/$BENCH_NAME"
    echo "$seconds"
}

# Runs inside both hosts (the memory host's address saved as MEMORY_*, the
# direct host's in ASPHOST_*): the rounds, then each host's peak.
minor_faults() { awk '{ print $10 }' "/proc/$1/stat"; }
measure_rounds() {
    local round memory_faults direct_faults
    for round in $(seq 1 "$BENCH_ROUNDS"); do
        echo "memory $(upload "$MEMORY_URL/upload.asp" file1 "$MEMORY_SITE/uploads" "the host (in memory)")"
        echo "direct $(upload "$ASPHOST_URL/direct-upload.asp" file "$ASPHOST_SITE/uploads" "the host (direct)")"
        echo "node $(upload "$NODE_URL/" file "$BENCH_WORK/busboy" busboy)"
        if [ "$round" -eq 1 ]; then
            memory_faults=$(minor_faults "$MEMORY_PID") direct_faults=$(minor_faults "$ASPHOST_PID")
        fi
    done
    echo "memory_faults $(( ($(minor_faults "$MEMORY_PID") - memory_faults) / (BENCH_ROUNDS - 1) ))"
    echo "direct_faults $(( ($(minor_faults "$ASPHOST_PID") - direct_faults) / (BENCH_ROUNDS - 1) ))"
    echo "memory_peak $(awk '/^VmHWM/ { print int($2 / 1024) }' "/proc/$MEMORY_PID/status")"
    echo "direct_peak $(awk '/^VmHWM/ { print int($2 / 1024) }' "/proc/$ASPHOST_PID/status")"
}
inside_memory_host() {
    export MEMORY_URL=$ASPHOST_URL MEMORY_PID=$ASPHOST_PID MEMORY_SITE=$ASPHOST_SITE
    "$BENCH_ROOT/asphost/e2e/with-host.sh" "$BENCH_HOST" "$BENCH_DLL" "$BENCH_WORK/direct" \
        bash -c 'measure_rounds >"$BENCH_WORK/results"'
}
export -f upload minor_faults measure_rounds inside_memory_host
export BENCH_ROOT=$here BENCH_HOST=$host BENCH_DLL=$dll BENCH_WORK=$work BENCH_FILE=$file BENCH_NAME=$name \
    BENCH_ROUNDS=$rounds NODE_URL=$node_url

echo "host-bench: uploading a ${size_mb} MB file with $(curl --version | head -n 1 | cut -d' ' -f1-2)"
rm -f "$work/results"
"$here/asphost/e2e/with-host.sh" "$host" "$dll" "$work/memory" bash -c inside_memory_host >/dev/null
[ "$(awk 'NF == 2' "$work/results" | wc -l)" -eq $((3 * rounds + 4)) ] || { echo "host-bench: a measurement failed" >&2; exit 1; }

seconds_of() { awk -v m="$1" '$1 == m { printf "%s ", $2 }' "$work/results"; }
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
value() { awk -v m="$1" '$1 == m { print $2 }' "$work/results"; }
memory_s=$(seconds_of memory | median)
direct_s=$(seconds_of direct | median)
node_s=$(seconds_of node | median)
memory_peak=$(value memory_peak)
direct_peak=$(value direct_peak)
mbps() { awk -v mb="$size_mb" -v s="$1" 'BEGIN { printf "%.1f", mb / s }'; }

echo "host-bench: seconds in each of $rounds rounds: in memory $(seconds_of memory)| direct $(seconds_of direct)| node $(seconds_of node)"
printf '%-34s %8s MB/s  %6.2fs  peak %s MB\n' "asphost + velmora32, in memory" "$(mbps "$memory_s")" "$memory_s" "$memory_peak"
printf '%-34s %8s MB/s  %6.2fs  peak %s MB\n' "asphost + velmora32, direct" "$(mbps "$direct_s")" "$direct_s" "$direct_peak"
printf '%-34s %8s MB/s  %6.2fs\n' "node $(node --version) + busboy" "$(mbps "$node_s")" "$node_s"
echo "peak in memory: $memory_peak MB for a $size_mb MB file"
echo "page faults per upload after the first: in memory $(value memory_faults), direct $(value direct_faults)"
awk -v m="$memory_s" -v d="$direct_s" 'BEGIN { printf "in memory/direct = %.2f (time of direct over time in memory)\n", d / m }'
awk -v p="$memory_peak" -v f="$size_mb" 'BEGIN {
    printf "peak in memory/(1.05 x file + 30 MB) = %.2f (%s MB against %.0f MB)\n", p / (1.05 * f + 30), p, 1.05 * f + 30 }'
awk -v m="$memory_s" -v d="$direct_s" -v n="$node_s" 'BEGIN {
    printf "ratio host/node: in memory %.2f, direct %.2f (above 1: the host is faster)\n", n / m, n / d }'
