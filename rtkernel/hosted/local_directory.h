// The calling process's own object directory, held in memory.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "rtkernel/hosted/errors.h"
#include "rtkernel/kernel.h"

namespace hosted {

class LocalDirectory {
public:
    ErrorCode Catalog(const char* name, Handle object);
    // Waits up to waitMs (kWaitForever: no limit) for the name to appear.
    ErrorCode Lookup(const char* name, std::uint32_t waitMs, Handle& found);
    ErrorCode Uncatalog(const char* name);

private:
    std::mutex mutex_;
    std::condition_variable catalogued_;
    std::map<std::string, Handle, std::less<>> entries_;
};

}  // namespace hosted
