#!/bin/bash
# The ASP host under load: 3000 uploads of random shapes from 16 clients at
# once, every answer and stored byte checked (asphost/e2e/load.mjs against
# asphost/e2e/pages/load.asp). Prints the throughput and the host's memory
# before and after. Then an ordinary client's answer time while each of
# a row of hostile clients holds the host (slow bodies, heads without a
# body, stalled uploads, readers that never take a large file), and its
# ratio to the time with no attack. A measurement, not a test: it fails
# only on a wrong answer or byte, a staging file left, or a host that stops
# answering.
#   tools/host-load.sh [uploads] [clients]    (build/win32, built if missing; build/win64 with VELMORA_WINE_ARCH=win64)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tools/host-bench-env.sh"
"$here/asphost/e2e/with-host.sh" "$host" "$dll" "$here/build/host-load" \
    node "$here/asphost/e2e/load.mjs" "${1:-3000}" "${2:-16}"
