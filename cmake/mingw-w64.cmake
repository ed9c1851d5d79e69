# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix: the posix thread model, so std::thread and
# std::mutex work) and runs the built programs under Wine, so that ctest
# runs the tests here. Usage:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DUPFIND_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DUPFIND_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DUPFIND_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DUPFIND_MINGW_TRIPLE}-windres)

# Libraries and headers come from the target's sysroot only; programs
# (python3, sh) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${DUPFIND_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian installs the 64-bit loader here and puts no `wine` on PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
