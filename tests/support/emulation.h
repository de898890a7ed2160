// How much slower the target's code runs here than on its own CPU.
#pragma once

namespace testsupport {

// A build for another CPU runs under a user-mode emulator (tests/CMakeLists.txt
// defines ZORVANDELITH_EMULATED then): each of the target's instructions costs
// several of this machine's, and code is translated the first time it runs.
// A processor-time budget, and the window it is measured over, are both
// stretched by this factor, so that a wait that spins still spends more than
// its budget and is caught, while one that sleeps stays within it.
#ifdef ZORVANDELITH_EMULATED
inline constexpr int kEmulationSlowdown = 10;
#else
inline constexpr int kEmulationSlowdown = 1;
#endif

}  // namespace testsupport
