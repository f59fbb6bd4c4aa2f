# Toolchain: a 32-bit x86 Linux build with Debian's cross compiler (g++-i686-linux-gnu), which,
# unlike g++-multilib, installs beside the ARM cross compiler. The programs run natively (an x86-64
# kernel runs i386 programs) with the cross compiler's own loader and libraries, named in every
# program and library: the machine needs no 32-bit libraries of its own, and programs that start
# programs (tests, tvk's children, death tests) need no wrapper. The rpath is an old-style
# DT_RPATH, which also serves the libraries' own dependencies (libstdc++ needs libm).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(TV_TARGET_ROOT /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${TV_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(tv_runtime "-Wl,-rpath,${TV_TARGET_ROOT}/lib -Wl,--disable-new-dtags")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--dynamic-linker=${TV_TARGET_ROOT}/lib/ld-linux.so.2 ${tv_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${tv_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${tv_runtime}")
