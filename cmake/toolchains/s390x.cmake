# IBM Z, 64-bit and big-endian: byte-order faults show here. Run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ZORVANDELITH_TRIPLET s390x-linux-gnu)
set(ZORVANDELITH_QEMU_CPU s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
