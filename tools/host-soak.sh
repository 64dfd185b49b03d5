#!/bin/bash
# The ASP host over a server's lifetime: 10000 uploads of 100 KB in a row,
# taken in turn by a page reading in memory, direct to disk and with
# DumpHeader (asphost/e2e/soak.mjs against asphost/e2e/pages/soak.asp).
# Prints the host's resident memory along the way and its growth per upload.
# A measurement, not a test: it fails only when the host dies or stops
# answering (make check runs 1000 uploads with a limit on the growth).
#   tools/host-soak.sh [uploads]    (build/win32, built if missing; build/win64 with VELMORA_WINE_ARCH=win64)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
uploads=${1:-10000}
. "$here/tools/host-bench-env.sh"
"$here/asphost/e2e/with-host.sh" "$host" "$dll" "$here/build/host-soak" \
    node "$here/asphost/e2e/soak.mjs" "$uploads"
