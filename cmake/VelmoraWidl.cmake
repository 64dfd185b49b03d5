# widl, the IDL compiler of mingw-w64, for the type libraries and the C++
# interfaces of the Windows configurations. It reads the IDL files of Wine's
# development package (oaidl.idl, ...) and, for importlib("stdole2.tlb"),
# Wine's own stdole2.tlb of this configuration's bitness.
#
# The toolchain file names the compiler (VELMORA_WIDL), its target option
# (VELMORA_WIDL_FLAGS: --win32 or --win64) and where under the prefix Wine
# keeps the Windows libraries of that bitness (VELMORA_WINE_WINDOWS_LIBS).
set(VELMORA_WINE_PREFIX /usr CACHE PATH
    "Where Wine is installed: its IDL files under include/wine, its Windows libraries under lib")
set(VELMORA_WINE_IDL_DIR ${VELMORA_WINE_PREFIX}/include/wine/wine/windows)
set(VELMORA_WINE_LIB_DIR ${VELMORA_WINE_PREFIX}/lib/${VELMORA_WINE_WINDOWS_LIBS})

# velmora_widl(<file.idl> OUTPUT_DIR <dir> [TLB <name>] [HEADER <name>] [GUIDS <name>])
# Runs widl on the IDL for each output named (a type library, a C/C++ header,
# the GUID definitions), writing them into OUTPUT_DIR.
function(velmora_widl idl)
  cmake_parse_arguments(W "" "OUTPUT_DIR;TLB;HEADER;GUIDS" "" ${ARGN})
  get_filename_component(idl ${idl} ABSOLUTE)
  set(widl ${VELMORA_WIDL} ${VELMORA_WIDL_FLAGS} -I${VELMORA_WINE_IDL_DIR} -L${VELMORA_WINE_LIB_DIR})
  set(outputs)
  set(commands)
  foreach(kind TLB HEADER GUIDS)
    if(W_${kind})
      set(option_TLB -t)
      set(option_HEADER -h)
      set(option_GUIDS -u)
      list(APPEND outputs ${W_OUTPUT_DIR}/${W_${kind}})
      list(APPEND commands COMMAND ${widl} ${option_${kind}} -o ${W_OUTPUT_DIR}/${W_${kind}} ${idl})
    endif()
  endforeach()
  get_filename_component(idl_name ${idl} NAME)
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${W_OUTPUT_DIR}
    ${commands}
    DEPENDS ${idl}
    COMMENT "widl ${idl_name}"
    VERBATIM)
endfunction()
