#!/bin/sh
# The product's main job, as users meet it: velmora32.dll registered in the
# project's Wine prefix, and the demo site (asphost/site) served by the ASP
# host on http://127.0.0.1:8080 until Ctrl+C. VELMORA_DEMO_PORT changes the
# port; make's BUILD picks the build folder. VELMORA_WINE_ARCH=win64 (make
# demo DEMO_ARCH=win64) serves the 64-bit DLL with the 64-bit host in the
# 64-bit prefix instead of the 32-bit ones.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
arch="${VELMORA_WINE_ARCH:-win32}"
case "$arch" in
    win32) format=pei-i386 ;;
    win64) format=pei-x86-64 ;;
    *) echo "demo: VELMORA_WINE_ARCH must be win32 or win64" >&2; exit 2 ;;
esac
build="$here/${BUILD:-build}/$arch"
dll="$build/dll/velmora32.dll"
host="$build/asphost/bin/asphost.exe"
port="${VELMORA_DEMO_PORT:-8080}"
run="$here/tools/wine-run"
# Wine's services start detached from this script's output (see
# with-wineserver). A server started for the demo ends a few seconds after the
# host, so Ctrl+C leaves nothing of the demo running.
if [ -z "${VELMORA_DEMO_SERVICES:-}" ]; then
    VELMORA_WINE_ARCH=$arch VELMORA_DEMO_SERVICES=1 VELMORA_WINESERVER_LINGER=2 \
        exec "$here/tools/with-wineserver" "$0" "$@"
fi
export VELMORA_WINE_ARCH=$arch
. "$here/tools/wine-env.sh"
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }

"$here/tools/check-imports.sh" "$dll" "$format"
"$run" regsvr32 /s "$(windows_path "$dll")" </dev/null >/dev/null 2>&1
# regsvr32 /s says nothing: the registry tells whether it worked.
"$run" reg query 'HKCR\Velmora32.Process\Clsid' </dev/null >/dev/null 2>&1 ||
    { echo "demo: velmora32.dll did not register"; exit 1; }
echo "demo: $dll registered in $WINEPREFIX"

# The component finds the running page through mtxex.dll, the road of
# Windows NT 4: the host is told it runs there.
"$run" reg add 'HKCU\Software\Wine\AppDefaults\asphost.exe' /v Version /d nt40 /f </dev/null >/dev/null 2>&1

echo "demo: open http://127.0.0.1:$port/ in a browser; uploads are stored in asphost/site/uploads"
echo "demo: press Ctrl+C to stop"

# The host runs as a child, so that this script outlives it and can wait for
# the Wine server. Ctrl+C reaches the host through Wine's console, which reads
# the terminal: the host gets this script's standard input (a command started
# with & would get /dev/null). A SIGINT, SIGTERM or SIGHUP that reaches this
# script alone (make passes its SIGTERM on to the recipe only) stops the host
# as Ctrl+C does.
exec 3<&0
"$run" "$host" --root "$(windows_path "$here/asphost/site")" --port "$port" <&3 3<&- &
host_pid=$!
exec 3<&-
trap 'kill -INT "$host_pid" 2>/dev/null || true' INT TERM HUP
while :; do
    wait "$host_pid" && status=0 || status=$?
    kill -0 "$host_pid" 2>/dev/null || break  # else a signal ended the wait
done
trap - INT TERM HUP

# The server this demo started, and Wine's services with it, end by
# themselves once the host is gone; one that was already running belongs to
# whatever started it.
if [ -n "${VELMORA_WINESERVER_STARTED:-}" ]; then
    echo "demo: waiting for the Wine server of $WINEPREFIX to end"
    timeout 30 wineserver -w ||
        echo "demo: other Wine programs still use $WINEPREFIX; its Wine server ends after them"
fi
exit "$status"
