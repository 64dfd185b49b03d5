#!/bin/bash
# The zip's layout: one top folder velmora32-<version>\ holding the release,
# the DLLs without debug sections or symbols.
# Its install.cmd in the project's 64-bit Wine prefix, under the 64-bit
# and the 32-bit cmd, from a folder whose path has a space: it registers both
# DLLs, each bitness's cscript gets its own, "install.cmd /u" leaves no key
# of the component in either registry view; a missing DLL or an unknown
# option gives exit code 1.
# Where the machine runs no 32-bit programs (tools/runs-32bit.sh), only the
# 64-bit cmd runs it, and must then register the x64 DLL and report the
# 32-bit regsvr32's failure with exit code 1; the 32-bit parts are skipped and
# said to be, and a run that passes all the others exits 77 (CTest's
# "skipped"), not 0.
#   zip.sh RELEASE.zip WORK-FOLDER
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
zip=$1 work=$2

. "$here/checks.sh"

# The component's keys in a view of the registry (32 or 64), one per line.
keys_left() {  # view
    local key
    for key in 'CLSID\{86E920FB-A305-400B-AFBF-E935A661603E}' 'CLSID\{7575A79E-03FB-4D31-A468-52FF8811FECC}' \
               'Interface\{2B7D9636-BE33-4327-807E-E095EB859B7A}' 'Interface\{B9A4A703-A22D-47BB-89FD-3B1D78677827}' \
               'TypeLib\{7A515CF5-2A75-43C2-88EB-0E5AB9DBA668}' Velmora32.Process Velmora32.HTTP; do
        in_wine win64 reg query "HKCR\\$key" /reg:$1 >/dev/null 2>&1 && echo "$key"
    done
}
install_cmd() {  # arch, arguments...: install.cmd's exit status
    in_wine "$1" cmd /c "$(windows_path "$folder/install.cmd")" "${@:2}" >"$work/install.log" 2>&1
    local status=$?
    tr -d '\r' <"$work/install.log"
    return $status
}
# The file that InprocServer32 of the Process class names in a view (32 or
# 64), as a Unix path.
server() {  # view
    local path
    path=$(in_wine win64 reg query 'HKCR\CLSID\{86E920FB-A305-400B-AFBF-E935A661603E}\InprocServer32' /ve /reg:$1 |
        tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p')
    [ -n "$path" ] && in_wine win64 winepath -u "$path" 2>/dev/null | xargs -r -d '\n' realpath
}

rm -rf "$work"
unpacked="$work/Velmora 32"
mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$(realpath "$zip")") || fail "unpacking the zip"
top=$(basename "$zip" .zip)
expect "the zip's one top folder" "$(ls -A "$unpacked")" "$top"
folder="$unpacked/$top"
for arch in x86 x64; do
    sections=$(x86_64-w64-mingw32-objdump -h "$folder/$arch/velmora32.dll" 2>&1 | grep -Eo ' \.debug_[a-z_]+' | tr -d '\n')
    symbols=$(x86_64-w64-mingw32-objdump -t "$folder/$arch/velmora32.dll" 2>&1 | grep -c '^\[')
    expect "$arch\\velmora32.dll carries no debug sections" "$sections" ""
    expect "$arch\\velmora32.dll carries no symbols" "$symbols" 0
done
for file in x86/velmora32.dll x64/velmora32.dll install.cmd README.txt docs/iis.md \
            docs/reference.md samples/upload.asp samples/client.asp; do
    [ -f "$folder/$file" ] && ok "the zip holds $file" || fail "the zip holds $file"
done

cmds="win64 wow64" expected_status=0
if ! runs_32bit; then
    cmds=win64 expected_status=1
    skip "install.cmd under the 32-bit cmd"
fi
for cmd in $cmds; do
    install_cmd $cmd
    expect "$cmd cmd: install.cmd exit code" "$?" $expected_status
    expect "$cmd cmd: the 64-bit view names x64\\velmora32.dll" "$(server 64)" \
           "$(realpath "$folder/x64/velmora32.dll")"
    if runs_32bit; then
        expect "$cmd cmd: the 32-bit view names x86\\velmora32.dll" "$(server 32)" \
               "$(realpath "$folder/x86/velmora32.dll")"
    else
        grep -qF 'x86\velmora32.dll could not be registered' "$work/install.log" &&
            ok "$cmd cmd: the 32-bit regsvr32's failure reported" ||
            fail "$cmd cmd: the 32-bit regsvr32's failure reported"
    fi
    objects "$cmd cmd: the 64-bit cscript gets the 64-bit DLL" win64 "(64 bit)"
    objects "$cmd cmd: the 32-bit cscript gets the 32-bit DLL" wow64 "(32 bit)"
    install_cmd $cmd /u
    expect "$cmd cmd: install.cmd /u exit code" "$?" $expected_status
    expect "$cmd cmd: no key left in the 64-bit view" "$(keys_left 64)" ""
    expect "$cmd cmd: no key left in the 32-bit view" "$(keys_left 32)" ""
done

install_cmd win64 /x
expect "an unknown option: exit code" "$?" 1
rm "$folder/x64/velmora32.dll"
install_cmd win64 >"$work/missing.log"
expect "a missing DLL: exit code" "$?" 1
grep -qF 'x64\velmora32.dll is missing' "$work/missing.log" && ok "a missing DLL: named" ||
    fail "a missing DLL: named ($(cat "$work/missing.log"))"
install_cmd win64 /u >/dev/null

finish zip
