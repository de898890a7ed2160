# 32-bit x86, the target's own ABI: 32-bit pointers and long. An x86-64 kernel
# runs these programs natively, with the 32-bit runtime (libc6-i386,
# lib32stdc++6), so no emulator stands between the tests and the kernel
# (qemu-i386 hangs in fork of dynamically linked programs).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZORVANDELITH_TRIPLET i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
