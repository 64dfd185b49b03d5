#!/bin/sh
# Builds one Windows Installer package of velmora32.dll with wixl from
# velmora32.wxs, over the files that stage.cmake laid out.
#   build-msi.sh x64|x86 VERSION STAGE OUTPUT.msi
# wixl leaves the File table's Version column empty, so Windows Installer
# would tell the DLLs' versions apart by hashes only: the column gets the
# version (which the DLLs' version resource carries too), and the DLLs'
# hashes, which Windows Installer keeps for unversioned files alone, go.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
platform=$1 version=$2 stage=$3
mkdir -p "$(dirname "$4")"
output=$(realpath "$4")
work=$output.d
rm -rf "$work"
mkdir -p "$work"

case "$platform" in
    x64) win64=yes dlls="velmora32_x86 velmora32_x64" ;;
    x86) win64=no dlls="velmora32_x86" ;;
    *) echo "build-msi: the platform is x64 or x86, not $platform" >&2; exit 2 ;;
esac

# wixl takes the files' paths relative to the current folder only.
cd "$stage"
# docs\ and samples\: a component per file, as the stage holds them.
find docs samples -type f | LC_ALL=C sort |
    wixl-heat --directory-ref INSTALLDIR --component-group Documentation \
              --var var.Stage --prefix "" --win64 >"$work/documentation.wxs"

wixl --arch "$platform" --includedir "$here" -D Version="$version" -D Platform="$platform" \
     -D Win64="$win64" -D X86Dll=x86/velmora32.dll -D X64Dll=x64/velmora32.dll -D Stage=. \
     -o "$work/package.msi" "$here/velmora32.wxs" "$work/documentation.wxs"
# One row per query: msibuild's DELETE takes one row of an OR.
for dll in $dlls; do
    msibuild "$work/package.msi" \
        -q "UPDATE File SET Version = '$version', Language = '1033' WHERE File = '$dll'" \
        -q "DELETE FROM MsiFileHash WHERE File_ = '$dll'"
done
mv "$work/package.msi" "$output"
rm -rf "$work"
