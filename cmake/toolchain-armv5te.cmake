# Cross build for the TRM-310 board: Intel PXA270 (ARMv5TE, soft float),
# Debian's armel toolchain (package g++-arm-linux-gnueabi).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mtune=xscale")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mtune=xscale")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The board's root file system is not ours: programs are linked statically.
set(QUARNE_STATIC_PROGRAMS ON CACHE BOOL "Link programs statically" FORCE)

# Tests run on the build host under user-mode emulation of the board's CPU,
# so an instruction the PXA270 lacks fails here.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-cpu;pxa270;-L;/usr/arm-linux-gnueabi)
