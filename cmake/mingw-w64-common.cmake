# What both mingw-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and BRANDINST_MINGW_PREFIX (the compilers' triplet) first.
set(CMAKE_SYSTEM_NAME Windows)
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
