# Toolchain: a 32-bit ARM Linux build (hard-float EABI) with Debian's cross compiler
# (g++-arm-linux-gnueabihf). Tests and discovery run under qemu-user with the cross compiler's
# loader and libraries as the target's root. A program started by another one (a death test's
# re-run of itself, a test starting tvk) runs only where binfmt_misc hands ARM programs to qemu;
# the arm test preset names the tests that need it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(TV_TARGET_ROOT /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${TV_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(TV_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TV_QEMU_ARM} -L ${TV_TARGET_ROOT})
