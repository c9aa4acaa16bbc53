# Cross build for 32-bit ARM, hard-float (Debian armhf: ARMv7, so Pi 2, 3, 4,
# 5 and Zero 2 W; not the ARMv6 Pi 1, Zero and Zero W). Needs
# g++-arm-linux-gnueabihf, and libgpiod-dev:armhf for the control line.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# Tests run under user-mode emulation; the kernel here has no binfmt hook.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
# GCC notes that the passing of some arguments changed in GCC 7.1; nothing
# here mixes objects from compilers that old, so the note is only noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
