# What every build for another CPU shares: Debian's cross compilers
# (crossbuild-essential-<arch>), whose C library and C++ runtime live in
# /usr/<triplet>, and a user-mode emulator that runs the target's programs here.
# The including file sets ZORVANDELITH_TRIPLET,
# CMAKE_SYSTEM_PROCESSOR and, where this machine cannot run the target's code
# itself, ZORVANDELITH_QEMU_CPU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${ZORVANDELITH_TRIPLET}-g++)
set(CMAKE_C_COMPILER ${ZORVANDELITH_TRIPLET}-gcc)
# The target's binutils: split debug symbols and stripping must understand its objects.
set(CMAKE_OBJCOPY ${ZORVANDELITH_TRIPLET}-objcopy CACHE FILEPATH "The target's objcopy")
set(CMAKE_STRIP ${ZORVANDELITH_TRIPLET}-strip CACHE FILEPATH "The target's strip")

# Libraries and headers come from the target's own directories only: the
# host's libraries (its GoogleTest among them) are never linked into a target
# binary. Architecture-independent packages (the JSON library's CMake files
# and headers) are shared, as Debian's multiarch layout intends; the cross
# compiler searches /usr/include after the target's own headers.
set(CMAKE_FIND_ROOT_PATH /usr/${ZORVANDELITH_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(nlohmann_json_DIR /usr/share/cmake/nlohmann_json CACHE PATH "The JSON library's CMake files (architecture-independent)")

set(ZORVANDELITH_TRIPLET ${ZORVANDELITH_TRIPLET} CACHE STRING "GNU triplet of the target")

if(ZORVANDELITH_QEMU_CPU)
  # ctest and test discovery run target programs through the emulator, which
  # finds the target's loader and libraries in the cross sysroot. Programs the
  # tests start themselves reach it through binfmt_misc (.ci/cpus registers the
  # handlers), and find the sysroot through QEMU_LD_PREFIX, which the test
  # presets set.
  find_program(ZORVANDELITH_QEMU NAMES qemu-${ZORVANDELITH_QEMU_CPU}-static qemu-${ZORVANDELITH_QEMU_CPU} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZORVANDELITH_QEMU} -L /usr/${ZORVANDELITH_TRIPLET})
endif()
