# Cross build for 64-bit ARM Linux with Debian's cross compilers.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(SL_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${SL_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${SL_CROSS_PREFIX}-g++)

# Libraries and headers come from the cross sysroot and from the prefixes
# given in CMAKE_PREFIX_PATH (the static libtiff), never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SL_CROSS_PREFIX} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
