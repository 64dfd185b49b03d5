#!/bin/bash
# Runs one end-to-end client against a fresh ASP host, as users meet it:
# copies the demo site (with the test pages under /test/) into a work
# folder, registers velmora32.dll in the project's Wine prefix (the 32-bit or
# 64-bit one, as VELMORA_WINE_ARCH says: tools/wine-env.sh), starts
# asphost.exe on a free port, waits until it listens, runs the command with
# ASPHOST_URL, ASPHOST_SITE, ASPHOST_WORK and ASPHOST_PID (the host's
# process, for measurements) set, and stops the host by its pid.
#   with-host.sh <asphost.exe> <velmora32.dll> <work folder> <command...>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$repo/tools/host-url.sh"
host_exe=$1 dll=$2 work=$3
shift 3
wine_run="$repo/tools/wine-run"
# Wine maps the Unix root to drive Z:.
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }

rm -rf "$work"
mkdir -p "$work"
cp -r "$repo/asphost/site" "$work/site"
rm -rf "$work/site/uploads"
cp -r "$here/pages" "$work/site/test"

"$wine_run" regsvr32 /s "$(windows_path "$dll")"
# The component finds the page through mtxex.dll only in a program that
# Wine presents as running on Windows NT 4.0.
"$wine_run" reg add 'HKCU\Software\Wine\AppDefaults\asphost.exe' /v Version /d nt40 /f >/dev/null

: >"$work/host.log"
"$wine_run" "$host_exe" --root "$(windows_path "$work/site")" --port 0 >"$work/host.log" 2>&1 &
host_pid=$!
stop_host() {
    kill "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
}
trap stop_host EXIT

url=$(host_url "$work/host.log" "$host_pid")
if [ -z "$url" ]; then
    echo "with-host: the host did not start:" >&2
    cat "$work/host.log" >&2
    exit 1
fi

status=0
ASPHOST_URL=$url ASPHOST_SITE=$work/site ASPHOST_WORK=$work ASPHOST_PID=$host_pid "$@" || status=$?
if [ $status -ne 0 ]; then
    echo "--- host log ($work/host.log)" >&2
    tail -n 50 "$work/host.log" >&2
fi
exit $status
