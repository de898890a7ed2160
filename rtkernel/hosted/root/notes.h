// What a process remembers of the names it dealt with in its root directory:
// those it found with no live owner, so that one that vanishes before this
// process removes it counts as removed; and those it claimed, whose ownerless
// thing it replaces. Threads of one process share it.
#pragma once

#include <mutex>
#include <set>
#include <string>

namespace hosted {

class NameNotes {
public:
    void NoteOwnerless(const char* name);
    bool SawOwnerless(const char* name) const;
    void ForgetOwnerless(const char* name);

    void Claim(const char* name);
    bool HoldsClaim(const char* name) const;
    void ForgetClaim(const char* name);

private:
    mutable std::mutex mutex_;
    std::set<std::string, std::less<>> foundOwnerless_;
    std::set<std::string, std::less<>> claimed_;
};

}  // namespace hosted
