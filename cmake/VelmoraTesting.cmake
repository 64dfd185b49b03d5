# GoogleTest from Debian's source package, built with this configuration's
# compiler and flags (cross for win32, sanitized for native).
enable_testing()
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# velmora_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One gtest program per component; on win32 CTest runs it through Wine.
function(velmora_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(WIN32)
    # Under Wine a program killed by an unhandled exception may still exit
    # with 0; Wine's report of the exception fails the test.
    set_tests_properties(${name} PROPERTIES FAIL_REGULAR_EXPRESSION "wine: Unhandled")
  endif()
endfunction()

# velmora_add_fuzz_target(<name> SOURCES <files...> LIBS <targets...> SECONDS <n>
#                         [CORPUS <dir>] [DICT <file>])
# A libFuzzer program (VELMORA_FUZZ, clang) and its tests: <name>-corpus runs
# the committed corpus once, <name>-short fuzzes for SECONDS from it, keeping
# new inputs in the build tree. Optimised, so that it tries many inputs a
# second even under the sanitizers.
function(velmora_add_fuzz_target name)
  if(NOT VELMORA_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "SECONDS;CORPUS;DICT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer -O1)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set(inputs)
  if(F_CORPUS)
    add_test(NAME ${name}-corpus COMMAND ${name} -runs=0 ${F_CORPUS})
    set_tests_properties(${name}-corpus PROPERTIES TIMEOUT 120)
    set(found ${CMAKE_CURRENT_BINARY_DIR}/${name}-found)
    file(MAKE_DIRECTORY ${found})
    set(inputs ${found} ${F_CORPUS})
  endif()
  set(options -max_total_time=${F_SECONDS})
  if(F_DICT)
    list(APPEND options -dict=${F_DICT})
  endif()
  add_test(NAME ${name}-short COMMAND ${name} ${options} ${inputs})
  math(EXPR timeout "${F_SECONDS} * 6")
  set_tests_properties(${name}-short PROPERTIES TIMEOUT ${timeout})
endfunction()
