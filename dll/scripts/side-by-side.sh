#!/bin/sh
# The 32-bit and the 64-bit velmora32.dll registered side by side in the
# project's 64-bit Wine prefix, as on 64-bit Windows: each bitness's cscript
# gets its own DLL (bitness.vbs), and unregistering either leaves the other
# working. The CLSID keys are per registry view (the 32-bit ones under
# Wow6432Node); the ProgID keys and the type library key are shared, with a
# win32 and a win64 entry. Per-user registration works for either bitness.
#   side-by-side.sh DLL64 DLL32
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
if ! "$here/tools/runs-32bit.sh"; then
    echo "side-by-side: skipped: no 32-bit program runs here, natively or under tools/with-qemu-i386, so no 32-bit cscript"
    exit 77
fi
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }
dll64=$(windows_path "$1")
dll32=$(windows_path "$2")
process='{86E920FB-A305-400B-AFBF-E935A661603E}'
http='{7575A79E-03FB-4D31-A468-52FF8811FECC}'
typelib='HKCR\TypeLib\{7A515CF5-2A75-43C2-88EB-0E5AB9DBA668}\3.0'
user='HKCU\Software\Classes'
failures=0

# Wine in the 64-bit prefix: "win64" runs 64-bit programs, "wow64" 32-bit ones,
# each seeing its own view of the registry.
wine_in() {  # arch, program, arguments...
    local arch=$1
    shift
    VELMORA_WINE_ARCH=$arch "$here/tools/wine-run" "$@" </dev/null 2>/dev/null
}
regsvr() {  # arch, dll, options...
    local arch=$1 dll=$2
    shift 2
    wine_in "$arch" regsvr32 /s "$@" "$dll"
}
# The default value of a key as a program of that bitness sees it, or <none>.
value() {  # arch, key
    wine_in "$1" reg query "$2" /ve | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p' | grep . ||
        echo '<none>'
}
expect() {  # name, actual, expected
    if [ "$2" = "$3" ]; then
        printf 'ok: %s\n' "$1"
    else
        printf 'FAILED: %s: got [%s], expected [%s]\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}
# bitness.vbs in a bitness, with the Version ending it must see, or none.
script() {  # name, arch, expected
    if VELMORA_WINE_ARCH=$2 "$here/tools/run-script.sh" "$here/dll/scripts/bitness.vbs" "$3" \
           >/dev/null; then
        printf 'ok: %s\n' "$1"
    else
        printf 'FAILED: %s (bitness.vbs in %s, expecting %s)\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}
# Both classes in one view and root: what InprocServer32 names.
expect_classes() {  # name, arch, root (HKCR or per user), dll or <none>
    local clsid
    for clsid in "$process" "$http"; do
        expect "$1: $clsid" "$(value "$2" "$3\\CLSID\\$clsid\\InprocServer32")" "$4"
    done
}
# The shared ProgIDs of a root, naming the classes or gone.
expect_progids() {  # name, root, present|absent
    local p='<none>' h='<none>'
    [ "$3" = present ] && p=$process h=$http
    expect "$1: Velmora32.Process" "$(value win64 "$2\\Velmora32.Process\\Clsid")" "$p"
    expect "$1: Velmora32.HTTP" "$(value win64 "$2\\Velmora32.HTTP\\Clsid")" "$h"
}

regsvr win64 "$dll64" /u
regsvr wow64 "$dll32" /u
regsvr win64 "$dll64" /u /n /i:user
regsvr wow64 "$dll32" /u /n /i:user

# --- Both at once
regsvr win64 "$dll64"
regsvr wow64 "$dll32"
expect_classes "64-bit view" win64 HKCR "$dll64"
expect_classes "32-bit view" wow64 HKCR "$dll32"
expect_progids "shared ProgIDs" HKCR present
expect "type library for 64-bit programs" "$(value win64 "$typelib\\409\\win64")" "$dll64"
expect "type library for 32-bit programs" "$(value win64 "$typelib\\409\\win32")" "$dll32"
script "64-bit cscript gets the 64-bit DLL" win64 "(64 bit)"
script "32-bit cscript gets the 32-bit DLL" wow64 "(32 bit)"

# --- Either one unregistered: the other keeps working
regsvr win64 "$dll64" /u
expect_classes "64-bit view after 64-bit unregistration" win64 HKCR '<none>'
expect_classes "32-bit view after 64-bit unregistration" wow64 HKCR "$dll32"
expect_progids "ProgIDs after 64-bit unregistration" HKCR present
expect "32-bit type library after 64-bit unregistration" "$(value win64 "$typelib\\409\\win32")" "$dll32"
expect "64-bit type library after 64-bit unregistration" "$(value win64 "$typelib\\409\\win64")" '<none>'
script "32-bit cscript after 64-bit unregistration" wow64 "(32 bit)"
script "64-bit cscript after 64-bit unregistration" win64 none

regsvr win64 "$dll64"
regsvr wow64 "$dll32" /u
expect_classes "64-bit view after 32-bit unregistration" win64 HKCR "$dll64"
expect_classes "32-bit view after 32-bit unregistration" wow64 HKCR '<none>'
expect_progids "ProgIDs after 32-bit unregistration" HKCR present
expect "64-bit type library after 32-bit unregistration" "$(value win64 "$typelib\\409\\win64")" "$dll64"
expect "32-bit type library after 32-bit unregistration" "$(value win64 "$typelib\\409\\win32")" '<none>'
script "64-bit cscript after 32-bit unregistration" win64 "(64 bit)"
script "32-bit cscript after 32-bit unregistration" wow64 none

# --- The last one gone: nothing is left behind
regsvr win64 "$dll64" /u
expect_classes "64-bit view after both unregistrations" win64 HKCR '<none>'
expect_progids "ProgIDs after both unregistrations" HKCR absent
expect "type library after both unregistrations" "$(value win64 "$typelib")" '<none>'

# --- Per user, each bitness (regsvr32 /n /i:user calls DllInstall(TRUE, "user"))
# while the other is registered machine-wide. Wine keeps a single view of
# per-user classes and creates no object from them (Windows does both), so
# the per-user entries are checked in the registry.
for arch in win64 wow64; do
    if [ $arch = win64 ]; then
        dll=$dll64 other=wow64 other_dll=$dll32 other_bits="(32 bit)"
    else
        dll=$dll32 other=win64 other_dll=$dll64 other_bits="(64 bit)"
    fi
    regsvr $other "$other_dll"
    regsvr $arch "$dll" /n /i:user
    expect_classes "$arch per user" $arch "$user" "$dll"
    expect_progids "$arch per-user ProgIDs" "$user" present
    expect_classes "$arch per user, nothing machine-wide" $arch HKCR '<none>'
    regsvr $arch "$dll" /u /n /i:user
    expect_classes "$arch per user, unregistered" $arch "$user" '<none>'
    expect_progids "$arch per-user ProgIDs, unregistered" "$user" absent
    expect_progids "machine-wide ProgIDs after $arch per-user unregistration" HKCR present
    script "the $other DLL after $arch per-user unregistration" $other "$other_bits"
    regsvr $other "$other_dll" /u
done

echo "side-by-side: $failures failed"
[ "$failures" -eq 0 ]
