// The one rule for object names, in both directories.
#pragma once

#include <cstddef>

namespace hosted {

inline constexpr std::size_t kMaxNameLength = 32;

// A name is 1 to 32 bytes without '/' or control characters. A leading '.' is
// refused too: in the root directory a name is a file name, and "." and ".."
// and the store's own work files must never be reachable through one.
bool ValidName(const char* name);

}  // namespace hosted
