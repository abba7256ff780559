# Cross-compiling brandinst.exe for 32-bit desktop Windows with Debian's
# mingw-w64 (package g++-mingw-w64-i686). The result runs under Wine in the
# tests; the same sources build for Windows CE with that platform's compiler.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(BRANDINST_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
