# 32-bit x86, the target's own ABI: 32-bit pointers and long. An x86-64 kernel
# built with 32-bit support runs these programs natively, with the 32-bit
# runtime (libc6-i386, lib32stdc++6), so no emulator stands between the tests
# and the kernel; where the kernel answers "Exec format error", .ci/cpus hands
# them to qemu-i386 through binfmt_misc, and the same runtime serves it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZORVANDELITH_TRIPLET i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
