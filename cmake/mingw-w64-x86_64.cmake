# Cross-compiling brandinst.exe for 64-bit desktop Windows with Debian's
# mingw-w64 (package g++-mingw-w64-x86-64). The result runs under Wine in the
# tests; the same sources build for Windows CE with that platform's compiler.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BRANDINST_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
