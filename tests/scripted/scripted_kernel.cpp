#include "tests/scripted/scripted_kernel.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "rtkernel/kernel.h"
#include "rtkernel/runtime.h"

namespace scripted {
namespace {

// The child's whole world: set once after fork, before the body runs.
struct Playback {
    KernelScript script;
    std::FILE* console = nullptr;
    std::FILE* log = nullptr;
    std::thread::id scenarioThread;
    std::mutex mutex;
    int waits = 0;
    int pauses = 0;
};

Playback* playback = nullptr;
thread_local std::uint32_t lastError = 0;

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string Quoted(const char* name) {
    return name == nullptr ? std::string("null") : '"' + std::string(name) + '"';
}

std::string Bytes(const std::uint8_t* data, std::uint32_t length) {
    std::string text;
    for (std::uint32_t i = 0; i < length; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%s%02x", i == 0 ? "" : " ", data[i]);
        text += byte;
    }
    return text;
}

bool OnScenarioThread() {
    return std::this_thread::get_id() == playback->scenarioThread;
}

// Each line of the log starts with the mark of the thread that made the call.
constexpr char kScenarioThreadMark = 's';
constexpr char kOtherThreadMark = 'o';

void Record(const std::string& call) {
    const char mark = OnScenarioThread() ? kScenarioThreadMark : kOtherThreadMark;
    std::lock_guard lock(playback->mutex);
    std::fprintf(playback->log, "%c%s\n", mark, call.c_str());
    std::fflush(playback->log);
}

// Takes the next scripted result for the key and applies its error.
bool Next(const std::string& key) {
    Outcome outcome;
    {
        std::lock_guard lock(playback->mutex);
        auto found = playback->script.outcomes.find(key);
        if (found != playback->script.outcomes.end() && !found->second.empty()) {
            outcome = found->second.front();
            found->second.pop_front();
        }
    }
    if (!outcome.succeeds) {
        lastError = outcome.error;
    }
    return outcome.succeeds;
}

std::string ReadAll(std::FILE* file) {
    std::string text;
    std::fflush(file);
    std::rewind(file);
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Ends the child as its main would, exit handlers and all (coverage counts
// are written there), while every other thread, such as a worker's, is held
// out of the log: none writes to a stream that exit has closed.
[[noreturn]] void Exit(int status) {
    playback->mutex.lock();
    std::fflush(playback->log);
    std::fflush(playback->console);
    std::exit(status);
}

[[noreturn]] void RunChild(const KernelScript& script, const std::function<int()>& body, std::FILE* console,
                           std::FILE* log) {
    playback = new Playback;
    playback->script = script;
    playback->console = console;
    playback->log = log;
    playback->scenarioThread = std::this_thread::get_id();
    // Unbuffered, so that a child killed at the time limit leaves its console so far.
    std::setvbuf(console, nullptr, _IONBF, 0);
    Exit(body());
}

ScenarioResult Collect(pid_t child, std::FILE* console, std::FILE* log, int timeLimitSeconds) {
    ScenarioResult result;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeLimitSeconds);
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        result.timedOut = true;
    }
    result.exited = WIFEXITED(status);
    result.exitStatus = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.console = ReadAll(console);
    for (const std::string& line : Lines(ReadAll(log))) {
        const std::string call = line.substr(1);
        result.calls.push_back(call);
        (line[0] == kScenarioThreadMark ? result.scenarioThreadCalls : result.otherThreadCalls)
            .push_back(call);
    }
    if (result.timedOut) {
        ADD_FAILURE() << "scenario timed out after " << timeLimitSeconds << " s; its console so far:\n"
                      << result.console;
    }
    return result;
}

}  // namespace

ScenarioResult RunScenario(const KernelScript& script, const std::function<int()>& body) {
    std::FILE* console = std::tmpfile();
    std::FILE* log = std::tmpfile();
    if (console == nullptr || log == nullptr) {
        std::perror("tmpfile");
        std::abort();
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        std::abort();
    }
    if (child == 0) {
        RunChild(script, body, console, log);
    }
    ScenarioResult result = Collect(child, console, log, script.timeLimitSeconds);
    std::fclose(console);
    std::fclose(log);
    return result;
}

std::vector<std::string> WithoutErrorQueries(const std::vector<std::string>& calls) {
    std::vector<std::string> kept;
    for (const std::string& call : calls) {
        if (call.rfind("GetLastRtError", 0) != 0 && call.rfind("GetRtErrorText", 0) != 0) {
            kept.push_back(call);
        }
    }
    return kept;
}

}  // namespace scripted

using scripted::Bytes;
using scripted::Hex;
using scripted::Next;
using scripted::playback;
using scripted::Quoted;
using scripted::Record;

extern "C" {

Handle GetRtThreadHandles(std::uint8_t selector) {
    Record("GetRtThreadHandles(" + std::to_string(selector) + ")");
    scripted::KernelScript& script = playback->script;
    switch (selector) {
        case kSelectCallingThread:
            if (!script.callingThreads.empty()) {
                const Handle next = script.callingThreads.front();
                script.callingThreads.pop_front();
                return next;
            }
            return scripted::OnScenarioThread() ? script.mainThread : script.otherThread;
        case kSelectCallingProcess:
            return script.process;
        case kSelectRootProcess:
            return script.rootProcess;
        default:
            return kBadHandle;
    }
}

bool CopyRtSystemInfo(std::uint8_t* info) {
    Record("CopyRtSystemInfo");
    if (!Next("CopyRtSystemInfo")) {
        return false;
    }
    std::memset(info, 0xA5, kSystemInfoSize);
    info[kLowLevelTickOffset] = static_cast<std::uint8_t>(playback->script.lowLevelTick & 0xFF);
    info[kLowLevelTickOffset + 1] = static_cast<std::uint8_t>(playback->script.lowLevelTick >> 8);
    return true;
}

bool SetRtProcessMaxPriority(Handle process, std::uint8_t priority) {
    Record("SetRtProcessMaxPriority(" + Hex(process) + ", " + std::to_string(priority) + ")");
    return Next("SetRtProcessMaxPriority");
}

bool CatalogRtHandle(Handle process, Handle object, const char* name) {
    Record("CatalogRtHandle(" + Hex(process) + ", " + Hex(object) + ", " + Quoted(name) + ")");
    return Next(std::string("CatalogRtHandle ") + name);
}

Handle LookupRtHandle(Handle process, const char* name, std::uint32_t waitMs) {
    Record("LookupRtHandle(" + Hex(process) + ", " + Quoted(name) + ", " + std::to_string(waitMs) + ")");
    const auto found = playback->script.entries.find(name);
    if (found == playback->script.entries.end()) {
        scripted::lastError = playback->script.notFoundError;
        return kBadHandle;
    }
    return found->second;
}

std::uint16_t GetRtHandleType(Handle handle) {
    Record("GetRtHandleType(" + Hex(handle) + ")");
    const auto found = playback->script.handleTypes.find(handle);
    return found == playback->script.handleTypes.end() ? 0 : found->second;
}

bool UncatalogRtHandle(Handle process, const char* name) {
    Record("UncatalogRtHandle(" + Hex(process) + ", " + Quoted(name) + ")");
    return Next(std::string("UncatalogRtHandle ") + name);
}

bool RtNotifyEvent(std::uint32_t mask, std::uint32_t waitMs, std::uint8_t* notification) {
    Record("RtNotifyEvent(" + std::to_string(mask) + ", " + Hex(waitMs) + ")");
    const int waitNumber = ++playback->waits;
    if (playback->script.beforeWait) {
        playback->script.beforeWait(waitNumber);
    }
    std::vector<std::uint32_t>& pending = playback->script.notifications;
    if (static_cast<std::size_t>(waitNumber) > pending.size()) {
        scripted::lastError = playback->script.waitError;
        return false;
    }
    std::memset(notification, 0, kNotificationSize);
    std::memcpy(notification, &pending[static_cast<std::size_t>(waitNumber) - 1], sizeof(std::uint32_t));
    return true;
}

bool RtSleep(std::uint32_t milliseconds) {
    Record("RtSleep(" + std::to_string(milliseconds) + ")");
    if (!scripted::OnScenarioThread()) {
        if (playback->script.otherThreadPause) {
            playback->script.otherThreadPause();
        }
        return true;
    }
    const int pauseNumber = ++playback->pauses;
    if (playback->script.afterPause) {
        playback->script.afterPause(pauseNumber);
    }
    return true;
}

bool DeleteRtThread(Handle thread) {
    Record("DeleteRtThread(" + Hex(thread) + ")");
    return Next("DeleteRtThread");
}

bool DeleteRtMemoryHandle(Handle memory) {
    Record("DeleteRtMemoryHandle(" + Hex(memory) + ")");
    return Next("DeleteRtMemoryHandle");
}

std::uint32_t FreeRtMemory(std::uint32_t base) {
    Record("FreeRtMemory(" + Hex(base) + ")");
    return Next("FreeRtMemory") ? 1 : 0;
}

std::uint32_t GetLastRtError() {
    Record("GetLastRtError");
    return scripted::lastError;
}

const char* GetRtErrorText(std::uint32_t code) {
    Record("GetRtErrorText(" + Hex(code) + ")");
    Next("GetRtErrorText");
    if (playback->script.errorTextMissing) {
        return nullptr;
    }
    const auto found = playback->script.errorTexts.find(code);
    return found == playback->script.errorTexts.end() ? "scripted failure" : found->second.c_str();
}

bool GetRtExceptionHandlerInfo(std::uint8_t selector, std::uint8_t* settings) {
    Record("GetRtExceptionHandlerInfo(" + std::to_string(selector) + ")");
    if (!Next("GetRtExceptionHandlerInfo")) {
        return false;
    }
    std::memcpy(settings, playback->script.exceptionSettings.data(), kExceptionSettingsSize);
    return true;
}

bool SetRtExceptionHandler(const std::uint8_t* settings) {
    Record("SetRtExceptionHandler(" + Bytes(settings, kExceptionSettingsSize) + ")");
    return Next("SetRtExceptionHandler");
}

bool SendRtData(Handle mailbox, const void* data, std::uint32_t length) {
    Record("SendRtData(" + Hex(mailbox) + ", " + Bytes(static_cast<const std::uint8_t*>(data), length) +
           ", " + std::to_string(length) + ")");
    return Next("SendRtData");
}

std::FILE* RtConsoleStream() {
    return playback->console;
}

void RtExit(int status) {
    Record("RtExit(" + std::to_string(status) + ")");
    scripted::Exit(status);
}

}  // extern "C"
