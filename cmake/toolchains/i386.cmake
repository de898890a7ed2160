# 32-bit x86, the target's own ABI: 32-bit pointers and long. An x86-64 kernel
# built with 32-bit support runs these programs natively, with the 32-bit
# runtime (libc6-i386, lib32stdc++6), so no emulator stands between the tests
# and the kernel; where the kernel answers "Exec format error", .ci/cpus hands
# them to qemu-i386 through binfmt_misc, and the same runtime serves it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZORVANDELITH_TRIPLET i686-linux-gnu)
# Under the emulator, the build knows it, as for the other CPUs: tests that
# need the program's own threads and memory (real time) skip, and time
# budgets scale.
if("$ENV{ZORVANDELITH_I386_EMULATED}")
  set(ZORVANDELITH_QEMU_CPU i386)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
