#!/bin/sh
# Runs a VBScript or JScript test under Wine's cscript, the way pages meet the
# components: registers the given DLLs in the project's Wine prefix (the
# 32-bit one, or with VELMORA_WINE_ARCH=win64 the 64-bit regsvr32 and cscript
# of the 64-bit one: tools/wine-env.sh), makes
# cscript.exe report Windows NT 4.0 (so components take mtxex.dll's
# GetObjectContext road), runs the script and checks its closing line
# "N passed, M failed" (tools/script-checks.vbs and .js, put in front of the
# script, give it the checks and that line). cscript prints nothing and may still exit 0 when a
# script stops on an error, so a missing closing line is a failure, and so is
# "0 passed": a script that checked nothing proves nothing. A registration
# that fails stops the test: the prefix may still hold an older one that the
# script would otherwise quietly use.
#
#   tools/run-script.sh [--register DLL]... SCRIPT [ARGUMENT]...
#
# A script still running after VELMORA_SCRIPT_TIMEOUT seconds (300) is
# stopped. Best run under tools/with-wineserver (CTest's runs are).
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
wine_run="$here/tools/wine-run"

# Wine maps the Unix root to drive Z:.
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }

while [ $# -gt 0 ] && [ "$1" = "--register" ]; do
    [ -f "$2" ] || { echo "run-script: no such DLL: $2"; exit 1; }
    # regsvr32 exits non-zero when the DLL does not load or its
    # DllRegisterServer fails.
    if ! "$wine_run" regsvr32 /s "$(windows_path "$2")" </dev/null >/dev/null 2>&1; then
        echo "run-script: regsvr32 failed for $2"
        exit 1
    fi
    shift 2
done
[ $# -ge 1 ] || { echo "usage: run-script.sh [--register DLL]... SCRIPT [ARGUMENT]..."; exit 2; }
script=$1
shift

"$wine_run" reg add 'HKCU\Software\Wine\AppDefaults\cscript.exe' /v Version /d nt40 /f </dev/null >/dev/null 2>&1

# The shared checks (Check, CheckEqual, Summary) go in front of the test.
ext=${script##*.}
log=$(mktemp)
run=$(mktemp --suffix=".$ext")
trap 'rm -f "$log" "$run"' EXIT
cat "$here/tools/script-checks.$ext" "$script" >"$run"
timeout "${VELMORA_SCRIPT_TIMEOUT:-300}" "$wine_run" cscript //nologo "$(windows_path "$run")" "$@" </dev/null >"$log" 2>&1
status=$?
output=$(tr -d '\r' <"$log")
printf '%s\n' "$output"

summary=$(printf '%s\n' "$output" | grep -E '^[0-9]+ passed, [0-9]+ failed' | tail -n 1)
if [ -z "$summary" ]; then
    echo "run-script: $(basename "$script") printed no summary line: it stopped early" \
         "(rerun with WINEDEBUG=fixme+vbscript,fixme+jscript to see why)"
    exit 1
fi
passed=$(printf '%s\n' "$summary" | sed -E 's/^([0-9]+) passed.*/\1/')
failed=$(printf '%s\n' "$summary" | sed -E 's/^[0-9]+ passed, ([0-9]+) failed.*/\1/')
if [ "$passed" -eq 0 ]; then
    echo "run-script: $(basename "$script") passed no check"
    exit 1
fi
[ "$failed" -eq 0 ] && [ "$status" -eq 0 ]
