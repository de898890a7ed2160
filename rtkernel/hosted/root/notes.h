// What a process remembers of the names it dealt with in its root directory:
// those it found with no live owner, so that one that vanishes before this
// process removes it counts as removed; and those it claimed, with the claim's
// lock on the directory (locks.h). Threads of one process share it.
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

    // Stakes the claim on the directory and notes it, in one hold, so that a
    // claim forgotten at the same time in another thread cannot let go of a
    // byte this one has just taken. Noted even where the lock cannot be had:
    // the note is what lets this process replace the thing at the name, the
    // lock what keeps cleaners off. 0, or the error the lock got.
    int Claim(int directory, const char* name);
    bool HoldsClaim(const char* name) const;
    void ForgetClaim(int directory, const char* name);

private:
    mutable std::mutex mutex_;
    std::set<std::string, std::less<>> foundOwnerless_;
    std::set<std::string, std::less<>> claimed_;
};

}  // namespace hosted
