#!/bin/sh
# Fails when a PE file is not of the expected format (pei-i386 for 32-bit,
# pei-x86-64 for 64-bit Windows) or imports anything but Windows system DLLs.
#   check-imports.sh FILE [FORMAT]    (FORMAT defaults to pei-i386)
set -eu
file=$1
format=${2:-pei-i386}
allowed='^(kernel32|user32|advapi32|ole32|oleaut32|wininet|shell32|shlwapi|msvcrt|ws2_32|version|rpcrt4|gdi32|comctl32|crypt32|secur32)\.dll$'
# The x86-64 objdump reads the PE files of both bitnesses.
objdump_=x86_64-w64-mingw32-objdump
imports=$($objdump_ -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
echo "$file imports:" $imports
$objdump_ -f "$file" | grep -q "file format $format\$" || { echo "not a $format file"; exit 1; }
bad=$(echo "$imports" | grep -Ev "$allowed" || true)
[ -z "$bad" ] || { echo "non-system imports: $bad"; exit 1; }
