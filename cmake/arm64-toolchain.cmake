# Cross build for 64-bit ARM (Debian arm64: Pi 3, 4, 5 and Zero 2 W with a
# 64-bit system).
set(CORVEXD_TRIPLET aarch64-linux-gnu)
set(CORVEXD_PROCESSOR aarch64)
set(CORVEXD_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
