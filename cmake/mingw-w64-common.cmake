# Cross build of QVCULLDB.EXE with MinGW-w64; the including toolchain file sets
# QV_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QV_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${QV_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${QV_MINGW_PREFIX}-windres)

# Libraries and headers come from the MinGW-w64 sysroot only; programs run at
# build time come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
