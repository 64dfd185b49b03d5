# Sourced by the Wine scripts of tools/ (with $here the repository): picks the
# project's Wine prefix and loader that VELMORA_WINE_ARCH names, and exports
# WINEPREFIX and WINEARCH for them. wine_loader is the program to exec.
#   win32 (default)  32-bit programs in the 32-bit prefix build/wineprefix
#   win64            64-bit programs in the 64-bit prefix build/wineprefix64
#   wow64            32-bit programs in that 64-bit prefix (the ones in
#                    C:\windows\syswow64), beside the 64-bit ones
# Debian's `wine` always starts the 32-bit loader, even for a program of
# system32 in a 64-bit prefix: 64-bit programs need wine64 itself.
# VELMORA_WINEPREFIX and VELMORA_WINEPREFIX64 move the prefixes elsewhere.
case "${VELMORA_WINE_ARCH:-win32}" in
    win32)
        export WINEPREFIX="${VELMORA_WINEPREFIX:-$here/build/wineprefix}" WINEARCH=win32
        wine_loader=wine ;;
    win64)
        export WINEPREFIX="${VELMORA_WINEPREFIX64:-$here/build/wineprefix64}" WINEARCH=win64
        wine_loader=/usr/lib/wine/wine64 ;;
    wow64)
        export WINEPREFIX="${VELMORA_WINEPREFIX64:-$here/build/wineprefix64}" WINEARCH=win64
        wine_loader=wine ;;
    *)
        echo "VELMORA_WINE_ARCH must be win32, win64 or wow64, not '$VELMORA_WINE_ARCH'" >&2
        exit 2 ;;
esac
