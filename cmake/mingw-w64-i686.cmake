# Cross-compiling brandinst.exe for 32-bit desktop Windows with Debian's
# mingw-w64 (package g++-mingw-w64-i686). The result runs under Wine in the
# tests; the same sources build for Windows CE with that platform's compiler.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(BRANDINST_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${BRANDINST_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${BRANDINST_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${BRANDINST_MINGW_PREFIX}-windres)

# Look for libraries and headers in the cross environment only; programs
# (windres, the compilers) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${BRANDINST_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
