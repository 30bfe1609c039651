# The 64-bit cross build with the posix thread model, for the Windows unit tests:
# GoogleTest needs std::mutex, which the win32 model of the product build lacks.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
set(CMAKE_C_COMPILER ${QV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QV_MINGW_PREFIX}-g++-posix)
