# Sourced by the host's benchmark scripts (with $here the repository): the
# host and DLL they run, those of build/win32, or of build/win64 with
# VELMORA_WINE_ARCH=win64 (make bench-host picks that where the machine runs
# no 32-bit programs); the win32 configuration is built when missing, and
# the Wine prefix made.
arch=${VELMORA_WINE_ARCH:-win32}
build="$here/${BUILD:-build}/$arch"
host="$build/asphost/bin/asphost.exe"
dll="$build/dll/velmora32.dll"
if [ "$arch" = win32 ]; then "$here/tools/ensure-win32.sh" "$build"; else "$here/tools/wineprefix.sh"; fi
