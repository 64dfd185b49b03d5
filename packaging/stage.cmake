# Lays out the release's files in STAGE, as the zip holds them and the MSI
# installs them (cmake -P, from packaging/CMakeLists.txt):
#   x86\velmora32.dll, x64\velmora32.dll, install.cmd, README.txt,
#   docs\ (the IIS guide, the member reference), samples\
# Text that Windows tools open gets CR LF line ends; README.txt gets the
# version.  -D: STAGE, X86_DLL, X64_DLL, VERSION, SOURCE_DIR, SAMPLES, DOCS
# (the last two are lists of files).
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE}/x86 ${STAGE}/x64 ${STAGE}/docs ${STAGE}/samples)
file(COPY_FILE ${X86_DLL} ${STAGE}/x86/velmora32.dll)
file(COPY_FILE ${X64_DLL} ${STAGE}/x64/velmora32.dll)
set(PROJECT_VERSION ${VERSION})
configure_file(${SOURCE_DIR}/packaging/README.txt ${STAGE}/README.txt @ONLY NEWLINE_STYLE CRLF)
# cmd finds labels reliably only in a script of CR LF lines.
configure_file(${SOURCE_DIR}/packaging/install.cmd ${STAGE}/install.cmd @ONLY NEWLINE_STYLE CRLF)
file(COPY ${DOCS} DESTINATION ${STAGE}/docs)
file(COPY ${SAMPLES} DESTINATION ${STAGE}/samples)
