// A second implementation of the kernel and runtime headers for scenario tests:
// it plays back what a test scripts and records every call, in order, with its
// arguments. Each scenario runs in a child process so that the real exit path
// runs; the parent sees the exit status, the console text and the call log.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "rtkernel/kernel.h"

namespace scripted {

struct Outcome {
    bool succeeds = true;
    std::uint32_t error = 0;  // becomes the caller's last error when the call fails
};

inline Outcome Fails(std::uint32_t error) {
    return Outcome{false, error};
}

struct KernelScript {
    Handle rootProcess = 0x01;
    Handle process = 0x21;
    Handle mainThread = 0x31;   // the calling thread's handle on the scenario's own thread
    Handle otherThread = 0x32;  // the calling thread's handle on any other thread
    // When not empty, each query for the calling thread takes the next of these instead.
    std::deque<Handle> callingThreads;

    std::uint16_t lowLevelTick = 100;  // placed little-endian at its offset in the system information
    std::array<std::uint8_t, kExceptionSettingsSize> exceptionSettings = {0x11, 0x22, 0x33, 0x44,
                                                                          0x55, 0x66, 0x77, 0x88};

    // Results in the order the calls happen, keyed by "Call" or "Call name" for
    // the directory calls; a call with no scripted result left succeeds.
    std::map<std::string, std::deque<Outcome>> outcomes;
    // What a lookup finds; a name not listed is not found.
    std::map<std::string, Handle> entries;
    std::uint32_t notFoundError = 0x0B;
    // Handle types; a handle not listed reads 0.
    std::map<Handle, std::uint16_t> handleTypes;
    // Notification types delivered in order; once they are used up the wait fails.
    std::vector<std::uint32_t> notifications;
    std::uint32_t waitError = 0x17;
    std::map<std::uint32_t, std::string> errorTexts;
    bool errorTextMissing = false;  // the kernel has no text at all: GetRtErrorText yields null

    // Stand-ins for worker code, or steps that start it: run on the scenario's
    // own thread before the given wait or after the given pause (1-based,
    // counting that thread's pauses alone).
    std::function<void(int waitNumber)> beforeWait;
    std::function<void(int pauseNumber)> afterPause;
    // Runs inside every pause of any other thread, such as a worker's: the
    // pause lasts as long as this does.
    std::function<void()> otherThreadPause;

    // How long the child may run before it is killed and the test fails with
    // "timed out after N s" and the console so far.
    int timeLimitSeconds = 20;
};

struct ScenarioResult {
    bool timedOut = false;  // the child was killed at the script's time limit
    bool exited = false;
    int exitStatus = -1;
    int signal = 0;
    std::string console;
    std::vector<std::string> calls;  // of every thread, in the order they were made
    // The same calls split by thread, for scenarios whose threads run side by side.
    std::vector<std::string> scenarioThreadCalls;
    std::vector<std::string> otherThreadCalls;
};

// Runs body in a child process against the script. The body's result, when it
// returns, is the child's exit status, as main's is. A child still running at
// the script's time limit is killed, and the test fails saying so, with the
// console as far as it got.
ScenarioResult RunScenario(const KernelScript& script, const std::function<int()>& body);

// The calls without the error queries every report makes, for tests about order.
std::vector<std::string> WithoutErrorQueries(const std::vector<std::string>& calls);

}  // namespace scripted
