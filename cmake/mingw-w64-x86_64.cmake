# Cross-compiling for Windows (x86_64) with Debian's MinGW-w64 toolchain
# (packages g++-mingw-w64-x86-64 and binutils-mingw-w64-x86-64).
#   cmake -S . -B build-dir -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TNIFF_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TNIFF_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TNIFF_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${TNIFF_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW-w64 tree only; programs (python3, the build tools)
# from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TNIFF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
