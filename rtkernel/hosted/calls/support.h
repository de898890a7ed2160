// What every kernel call shares: the kernel state it works on, and how a
// failed step becomes the caller's last error.
#pragma once

#include "rtkernel/hosted/errors.h"
#include "rtkernel/hosted/kernel_state.h"

namespace hosted {

inline KernelState& Kernel() {
    return KernelState::Instance();
}

// True for None; otherwise the code becomes the caller's last error.
inline bool Succeeds(ErrorCode result) {
    if (result == ErrorCode::None) {
        return true;
    }
    SetLastError(result);
    return false;
}

}  // namespace hosted
