# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads).
# Programs run under Wine through scripts/wine-env.sh, so CTest runs the
# Windows tests here as it runs the Linux ones.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TLX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TLX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TLX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TLX_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TLX_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TLX_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TLX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TLX_BASH bash REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TLX_BASH} ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-env.sh run)
