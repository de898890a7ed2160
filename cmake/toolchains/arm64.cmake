# 64-bit Arm, little-endian, run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZORVANDELITH_TRIPLET aarch64-linux-gnu)
set(ZORVANDELITH_QEMU_CPU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
