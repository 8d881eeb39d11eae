# Cross build for the 32-bit ARM board (ARMv7-A, hard-float ABI) with
# Debian's arm-linux-gnueabihf compilers. Test programs run on the build
# machine through qemu-arm with the cross sysroot, so CTest works unchanged.
#
#   QN_ARM_FPU   -mfpu of the build: vfpv3-d16 (Cortex-A9 class boards) or
#                neon-vfpv4 (fused multiply-add available)
#   QN_QEMU_CPU  qemu-arm CPU that runs the tests; it must have that FPU
# The FPU is fixed when the build directory is first configured.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QN_ARM_TRIPLE arm-linux-gnueabihf)
set(QN_ARM_SYSROOT /usr/${QN_ARM_TRIPLE})
set(CMAKE_C_COMPILER ${QN_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QN_ARM_TRIPLE}-g++)

set(QN_ARM_FPU vfpv3-d16 CACHE STRING "-mfpu of the board build")
set(QN_QEMU_CPU cortex-a9 CACHE STRING "qemu-arm -cpu that runs the tests")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QN_ARM_FPU QN_QEMU_CPU)

# Debian's multiarch development packages of the board's architecture
# (libssl-dev:armhf) keep their headers in /usr/include and
# /usr/include/arm-linux-gnueabihf: searched only after the cross
# compiler's own, so the sysroot's C library headers always win.
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=${QN_ARM_FPU} -mfloat-abi=hard \
-idirafter /usr/include/${QN_ARM_TRIPLE} -idirafter /usr/include")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")

find_program(QN_QEMU_ARM qemu-arm)
if(NOT QN_QEMU_ARM)
    set(QN_QEMU_ARM qemu-arm)
endif()
# The sysroot's C library first: where Debian's armhf packages are also
# installed (multiarch), the build machine's loader cache names their C
# library, whose private interface with the sysroot's loader differs (a
# fork then crashes in the child).
set(CMAKE_CROSSCOMPILING_EMULATOR ${QN_QEMU_ARM} -L ${QN_ARM_SYSROOT} -cpu ${QN_QEMU_CPU}
    -E LD_LIBRARY_PATH=${QN_ARM_SYSROOT}/lib)

# Libraries, headers and CMake packages come from the ARM sysroot (and from
# any board tree given in CMAKE_FIND_ROOT_PATH) only; programs (pkg-config,
# python) from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH ${QN_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config describes the board's libraries, not the build machine's: the
# cross sysroot's and those of Debian's multiarch packages for the board.
set(ENV{PKG_CONFIG_LIBDIR} "${QN_ARM_SYSROOT}/lib/pkgconfig:${QN_ARM_SYSROOT}/share/pkgconfig:\
/usr/lib/${QN_ARM_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
