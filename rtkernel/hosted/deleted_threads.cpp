// The threads the shutdown had to delete, said at exit. Without this line a
// worker that never empties its slot costs the shutdown ten seconds of silence
// and no trace of which worker it was.
#include "rtkernel/hosted/deleted_threads.h"

#include <charconv>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "rtkernel/hosted/host_output.h"

namespace hosted {
namespace {

struct DeletedThread {
    Handle handle;
    std::int32_t hostThread;
};

struct Deletions {
    std::mutex mutex;
    std::vector<DeletedThread> noted;
};

// Never destroyed: a thread the shutdown left running may still call the
// kernel while the process exits.
Deletions& Noted() {
    static Deletions* const deletions = new Deletions();
    return *deletions;
}

std::string Described(const DeletedThread& thread) {
    char digits[8];
    char* end = std::to_chars(std::begin(digits), std::end(digits), thread.handle, 16).ptr;
    const std::string handle = "0x" + std::string(std::begin(digits), end);
    if (thread.hostThread == kNoHostThread) {
        return handle + " (names no live thread)";
    }
    return handle + " (host thread " + std::to_string(thread.hostThread) + ", left running)";
}

}  // namespace

void NoteDeletedThread(Handle handle, std::int32_t hostThread) {
    Deletions& deletions = Noted();
    std::lock_guard lock(deletions.mutex);
    deletions.noted.push_back({handle, hostThread});
}

void SayDeletedThreads() {
    std::string listing;
    {
        Deletions& deletions = Noted();
        std::lock_guard lock(deletions.mutex);
        for (const DeletedThread& thread : deletions.noted) {
            listing += (listing.empty() ? "" : ", ") + Described(thread);
        }
        deletions.noted.clear();
    }
    if (!listing.empty()) {
        Say("shutdown", ("worker slots still full when the wait for workers ran out: " + listing).c_str());
    }
}

}  // namespace hosted
