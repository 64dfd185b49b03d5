#!/bin/sh
# Fails when a PE file imports anything but Windows system DLLs.
set -eu
file=$1
allowed='^(kernel32|user32|advapi32|ole32|oleaut32|wininet|shell32|shlwapi|msvcrt|ws2_32|version|rpcrt4|gdi32|comctl32|crypt32)\.dll$'
objdump_=i686-w64-mingw32-objdump
imports=$($objdump_ -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
echo "$file imports:" $imports
$objdump_ -f "$file" | grep -q 'file format pei-i386' || { echo "not a PE32 i386 file"; exit 1; }
bad=$(echo "$imports" | grep -Ev "$allowed" || true)
[ -z "$bad" ] || { echo "non-system imports: $bad"; exit 1; }
