# Cross build for 32-bit ARM, hard-float (Debian armhf: ARMv7, so Pi 2, 3, 4,
# 5 and Zero 2 W; not the ARMv6 Pi 1, Zero and Zero W).
set(CORVEXD_TRIPLET arm-linux-gnueabihf)
set(CORVEXD_PROCESSOR arm)
set(CORVEXD_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# GCC notes that the passing of some arguments changed in GCC 7.1; nothing
# here mixes objects from compilers that old, so the note is only noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
