# Cross build for a Debian ARM architecture, included by the per-architecture
# toolchain files after they set CORVEXD_TRIPLET, CORVEXD_PROCESSOR,
# and CORVEXD_QEMU. Needs g++-<triplet>, and
# libgpiod-dev:<arch> for the control line (scripts/install-deps <arch>).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CORVEXD_PROCESSOR})
set(CMAKE_C_COMPILER ${CORVEXD_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CORVEXD_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CORVEXD_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CORVEXD_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# Tests run under user-mode emulation; the kernel here has no binfmt hook.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVEXD_QEMU} -L /usr/${CORVEXD_TRIPLET})
