# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model:
# its libstdc++ has std::mutex, which GoogleTest needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER   i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  i686-w64-mingw32-windres)
set(VELMORA_WIDL       i686-w64-mingw32-widl)
# Type libraries for 32-bit Windows, importing Wine's 32-bit stdole2.tlb.
set(VELMORA_WIDL_FLAGS --win32)
# Wine's Windows libraries of this bitness, under its prefix (cmake/VelmoraWidl.cmake).
set(VELMORA_WINE_WINDOWS_LIBS i386-linux-gnu/wine/i386-windows)
# The format of the PE files built here (tools/check-imports.sh).
set(VELMORA_PE_FORMAT  pei-i386)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows programs built here run under Wine, in the project's own 32-bit
# prefix (tools/wine-run; VELMORA_WINE_ARCH chooses the prefix).
set(VELMORA_WINE_ARCH win32)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
