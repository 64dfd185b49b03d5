# Lays out the release's files in STAGE, as the zip holds them and the MSI
# installs them (cmake -P, from packaging/CMakeLists.txt):
#   x86\velmora32.dll, x64\velmora32.dll, install.cmd, README.txt,
#   docs\ (the IIS guide, the member reference), samples\
# Text that Windows tools open gets CR LF line ends; README.txt gets the
# version. The DLLs are copied without their debug sections and symbols (X86_STRIP and
# X64_STRIP: the strip of each bitness).
# -D: STAGE, X86_DLL, X64_DLL, X86_STRIP, X64_STRIP, VERSION, SOURCE_DIR,
# SAMPLES, DOCS (the last two are lists of files).
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE}/x86 ${STAGE}/x64 ${STAGE}/docs ${STAGE}/samples)
foreach(arch x86 x64)
  string(TOUPPER ${arch} ARCH)
  execute_process(COMMAND ${${ARCH}_STRIP} --strip-all -o ${STAGE}/${arch}/velmora32.dll ${${ARCH}_DLL}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set(PROJECT_VERSION ${VERSION})
configure_file(${SOURCE_DIR}/packaging/README.txt ${STAGE}/README.txt @ONLY NEWLINE_STYLE CRLF)
# cmd finds labels reliably only in a script of CR LF lines.
configure_file(${SOURCE_DIR}/packaging/install.cmd ${STAGE}/install.cmd @ONLY NEWLINE_STYLE CRLF)
file(COPY ${DOCS} DESTINATION ${STAGE}/docs)
file(COPY ${SAMPLES} DESTINATION ${STAGE}/samples)
