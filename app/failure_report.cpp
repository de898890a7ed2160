#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "app/app_state.h"
#include "app/lifecycle.h"
#include "rtkernel/kernel.h"
#include "rtkernel/runtime.h"

namespace {

constexpr std::uint32_t kExitMailboxWaitMs = 5000;

void PrintKernelError() {
    const std::uint32_t firstReading = GetLastRtError();
    const char* text = GetRtErrorText(firstReading);
    // Reading the code again shows what the kernel holds after the text lookup.
    const std::uint32_t code = GetLastRtError();
    (void)std::fprintf(RtConsoleStream(), "\nError nr=%x %s\n", static_cast<unsigned>(code),
                       text != nullptr ? text : "");
}

// A failure report forces exceptions back to mode 0. Settings that could not be
// read are never installed: that would hand the kernel an unfilled record.
void ResetExceptionMode() {
    std::uint8_t settings[kExceptionSettingsSize] = {};
    if (!GetRtExceptionHandlerInfo(0, settings)) {
        return;
    }
    settings[kExceptionModeOffset] = 0;
    SetRtExceptionHandler(settings);
}

bool CalledFromMainThread() {
    return GetRtThreadHandles(kSelectCallingThread) == LoadShared(AppState.mainThread);
}

// A worker cannot end the process itself; it asks the kernel, through the exit
// mailbox, to deliver the termination notification to the main thread.
void SendTerminationToExitMailbox() {
    const Handle mailbox = LookupRtHandle(kNoHandle, kExitMailboxName, kExitMailboxWaitMs);
    SendRtData(mailbox, kTerminationMessage, sizeof kTerminationMessage);
}

}  // namespace

// The fixed interface is printf-style, so that callers pass formats as they would to printf.
void ReportFailure(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    (void)std::vfprintf(RtConsoleStream(), format, arguments);
    va_end(arguments);
    PrintKernelError();
    ResetExceptionMode();

    const LifecycleState state = LoadShared(AppState.lifecycleState);
    if (state == LifecycleState::NotStarted) {
        RtExit(0);
    }
    if (!CalledFromMainThread()) {
        SendTerminationToExitMailbox();
        return;
    }
    if (state == LifecycleState::Initializing) {
        CleanUpApplication();
    }
}
