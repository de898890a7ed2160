// The service's console lines, as a user reads them, defined once for every
// test and benchmark that checks or waits for them.
#pragma once

#include <initializer_list>
#include <string>

namespace console {

inline constexpr const char* kStarted = "Zorvandelith started";
inline constexpr const char* kInitialized = "Zorvandelith finished initialization";
inline constexpr const char* kCleaningUp = "Zorvandelith started cleaning up";
inline constexpr const char* kCleanedUp = "Zorvandelith finished cleaning up";

// The lines as printed, each with its line break.
inline std::string Lines(std::initializer_list<const char*> lines) {
    std::string text;
    for (const char* line : lines) {
        text += std::string(line) + "\n";
    }
    return text;
}

// A whole life: start, the wait, the orderly shutdown. A function, not an
// object, so that the floor program, which includes this header for the
// lines alone, carries no initializer that the service does not have.
inline std::string WholeLife() {
    return Lines({kStarted, kInitialized, kCleaningUp, kCleanedUp});
}

}  // namespace console
