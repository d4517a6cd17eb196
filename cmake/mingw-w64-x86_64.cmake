# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (the
# POSIX thread model, so that std::thread works).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SL_MINGW_PREFIX}-windres)

# The C standard's printf and strtod instead of msvcrt's, for everything
# built with this file (libtiff too): %f, inf and nan read and print as
# they do on Linux.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# Libraries and headers come from the MinGW sysroot and from the prefixes
# given in CMAKE_PREFIX_PATH (build/windows/deps), never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SL_MINGW_PREFIX} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
