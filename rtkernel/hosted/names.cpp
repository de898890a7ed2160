// The one rule for object names.
#include "rtkernel/hosted/names.h"

#include <cstring>

namespace hosted {

bool ValidName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    const std::size_t length = strnlen(name, kMaxNameLength + 1);
    if (length == 0 || length > kMaxNameLength || name[0] == '.') {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte == '/' || byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace hosted
