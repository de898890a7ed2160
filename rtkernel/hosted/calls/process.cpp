// The kernel calls about the calling process itself: its handles, the system
// information, its priority limit, its exception-handler settings and errors.
#include <cstring>

#include "rtkernel/hosted/calls/support.h"
#include "rtkernel/hosted/realtime.h"
#include "rtkernel/kernel.h"

using namespace hosted;

extern "C" {

Handle GetRtThreadHandles(std::uint8_t selector) {
    switch (selector) {
        case kSelectCallingThread: {
            const Handle thread = Kernel().CallingThread();
            return thread != kBadHandle ? thread : Fail(ErrorCode::HandleTableFull, kBadHandle);
        }
        case kSelectCallingProcess:
            return Kernel().Self();
        case kSelectRootProcess:
            return Kernel().RootProcess();
        default:
            return Fail(ErrorCode::BadParameter, kBadHandle);
    }
}

bool CopyRtSystemInfo(std::uint8_t* info) {
    if (info == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    std::memset(info, 0, kSystemInfoSize);
    info[kLowLevelTickOffset] = kLowLevelTick & 0xFF;
    info[kLowLevelTickOffset + 1] = kLowLevelTick >> 8;
    return true;
}

// The limit is checked and kept, and the process scheduled by it in real time
// where the host allows; a refusal is the host's, said on stderr, and not a
// failure of the call, which the target would not have.
bool SetRtProcessMaxPriority(Handle process, std::uint8_t priority) {
    if (process != kNoHandle && process != Kernel().Self()) {
        return Fail(Kernel().Handles().Find(process) ? ErrorCode::NotPermitted : ErrorCode::BadHandle, false);
    }
    Kernel().SetPriorityLimit(priority);
    ScheduleProcessAt(priority);
    return true;
}

std::uint32_t GetLastRtError() {
    return LastError();
}

const char* GetRtErrorText(std::uint32_t code) {
    return ErrorText(code);
}

bool GetRtExceptionHandlerInfo(std::uint8_t selector, std::uint8_t* settings) {
    if (selector != 0 || settings == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    const auto current = Kernel().ExceptionSettings();
    std::memcpy(settings, current.data(), current.size());
    return true;
}

bool SetRtExceptionHandler(const std::uint8_t* settings) {
    if (settings == nullptr) {
        return Fail(ErrorCode::BadParameter, false);
    }
    Kernel().SetExceptionSettings(settings);
    return true;
}

}  // extern "C"
