#!/bin/sh
# regsvr32 and regsvr32 /u of mtxex.dll in the project's Wine prefix, checked
# in the registry (regsvr32 /s itself reports nothing useful). Leaves the
# class registered, as the script tests need it.
#   registration.sh MTXEX_DLL
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
wine_run="$here/tools/wine-run"
dll=$(printf 'Z:%s' "$(realpath "$1")" | tr / '\\')
clsid='{48F8D213-C7C2-4497-9A3D-46A2C251B2DF}'
failures=0

query() { "$wine_run" reg query "$1" /ve </dev/null 2>/dev/null | tr -d '\r'; }
expect() {  # name, condition result
    if [ "$2" = yes ]; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
has() { case "$1" in *"$2"*) echo yes ;; *) echo no ;; esac; }
lacks() { case "$1" in *"$2"*) echo no ;; *) echo yes ;; esac; }

"$wine_run" regsvr32 /s /u "$dll" </dev/null >/dev/null 2>&1
"$wine_run" regsvr32 /s "$dll" </dev/null >/dev/null 2>&1
expect "ProgID names the class" "$(has "$(query 'HKCR\Velmora32Test.Host\CLSID')" "$clsid")"
expect "class names the DLL" "$(has "$(query "HKCR\\CLSID\\$clsid\\InprocServer32")" "$dll")"
threading=$("$wine_run" reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel </dev/null 2>/dev/null | tr -d '\r')
expect "threading model Both" "$(has "$threading" Both)"

"$wine_run" regsvr32 /s /u "$dll" </dev/null >/dev/null 2>&1
expect "unregistered ProgID" "$(lacks "$(query 'HKCR\Velmora32Test.Host\CLSID')" "$clsid")"
expect "unregistered class" "$(lacks "$(query "HKCR\\CLSID\\$clsid\\InprocServer32")" "$dll")"
"$wine_run" regsvr32 /s /u "$dll" </dev/null >/dev/null 2>&1  # twice is harmless

"$wine_run" regsvr32 /s "$dll" </dev/null >/dev/null 2>&1
expect "registered again" "$(has "$(query 'HKCR\Velmora32Test.Host\CLSID')" "$clsid")"
[ "$failures" -eq 0 ]
