#!/bin/sh
# Builds the win32 configuration (win64 with VELMORA_WINE_ARCH=win64) into the
# folder $1 when the component, the stand-in or the host is missing there, and
# makes its Wine prefix: what the benchmark scripts need when they are run on
# their own, outside make.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=$1
toolchain=mingw-i686
[ "${VELMORA_WINE_ARCH:-win32}" = win64 ] && toolchain=mingw-x86_64
if [ ! -f "$build/dll/velmora32.dll" ] || [ ! -f "$build/asphost/bin/mtxex.dll" ] ||
   [ ! -f "$build/asphost/bin/asphost.exe" ]; then
    echo "$(basename "$0"): building the ${VELMORA_WINE_ARCH:-win32} configuration in $build"
    cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$toolchain.cmake" >/dev/null
    cmake --build "$build" -j"$(nproc)" >/dev/null
fi
"$here/tools/wineprefix.sh"
