# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# as for 32-bit): the same project, for 64-bit IIS application pools.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER   x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  x86_64-w64-mingw32-windres)
set(VELMORA_WIDL       x86_64-w64-mingw32-widl)
# Type libraries for 64-bit Windows import Wine's 64-bit stdole2.tlb: the two
# differ, and widl lays out each library for its own pointer size.
set(VELMORA_WIDL_FLAGS --win64)
# Wine's Windows libraries of this bitness, under its prefix (cmake/VelmoraWidl.cmake).
set(VELMORA_WINE_WINDOWS_LIBS x86_64-linux-gnu/wine/x86_64-windows)
# The format of the PE files built here (tools/check-imports.sh).
set(VELMORA_PE_FORMAT  pei-x86-64)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows programs built here run under 64-bit Wine, in the project's own
# 64-bit prefix (tools/wine-run with VELMORA_WINE_ARCH=win64).
set(VELMORA_WINE_ARCH win64)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
