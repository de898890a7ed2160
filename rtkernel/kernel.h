// The real-time kernel calls the service process relies on. C linkage keeps the
// implementation swappable at link time: the shipped binary links the hosted
// kernel, the test suite a scripted one.
#pragma once

#include <cstdint>

using Handle = std::uint16_t;  // 0: no object (as a process argument: the calling process); 0xFFFF: bad

extern "C" {
Handle GetRtThreadHandles(std::uint8_t selector);  // 0 calling thread, 1 calling process, 3 root process
bool CopyRtSystemInfo(std::uint8_t* info);         // fills 160 bytes; low-level tick: u16 LE at offset 59
bool SetRtProcessMaxPriority(Handle process, std::uint8_t priority);
bool CatalogRtHandle(Handle process, Handle object, const char* name);
Handle LookupRtHandle(Handle process, const char* name, std::uint32_t waitMs);  // 0xFFFF when not found
std::uint16_t GetRtHandleType(Handle handle);  // 0 when the handle names no live object
bool UncatalogRtHandle(Handle process, const char* name);
bool RtNotifyEvent(std::uint32_t mask, std::uint32_t waitMs,
                   std::uint8_t* notification);  // 12 bytes; u32 type first
bool RtSleep(std::uint32_t milliseconds);
bool DeleteRtThread(Handle thread);
bool DeleteRtMemoryHandle(Handle memory);
std::uint32_t FreeRtMemory(std::uint32_t base);  // 0 = failure
std::uint32_t GetLastRtError();                  // code of the calling thread's last *failed* call
const char* GetRtErrorText(std::uint32_t code);
bool GetRtExceptionHandlerInfo(std::uint8_t selector, std::uint8_t* settings);  // 8 bytes; mode at offset 6
bool SetRtExceptionHandler(const std::uint8_t* settings);
bool SendRtData(Handle mailbox, const void* data, std::uint32_t length);
}

// Values every implementation and caller agree on.
inline constexpr Handle kNoHandle = 0;
inline constexpr Handle kBadHandle = 0xFFFF;
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;
inline constexpr std::uint32_t kSystemInfoSize = 160;
inline constexpr std::uint32_t kLowLevelTickOffset = 59;
inline constexpr std::uint32_t kNotificationSize = 12;
inline constexpr std::uint32_t kExceptionSettingsSize = 8;
inline constexpr std::uint32_t kExceptionModeOffset = 6;

// The exit mailbox every process finds in its own directory: a thread other
// than the main thread ends the process by sending it the termination message.
inline constexpr const char* kExitMailboxName = "R?EXIT_MBOX";
// The termination code: as a notification type it says the process is to end;
// as the exit mailbox's message it is these four bytes, 32-bit little-endian.
inline constexpr std::uint32_t kTerminationCode = 255;
inline constexpr std::uint8_t kTerminationMessage[4] = {kTerminationCode & 0xFF, 0, 0, 0};

// Mask bits of a notification wait: which notifications wake it.
inline constexpr std::uint32_t kNotifyOtherEvents = 0x4;  // notifications other than termination
inline constexpr std::uint32_t kNotifyTermination = 0x8;  // the termination notification

// What GetRtHandleType reports; None when the handle names no live object.
enum class RtObjectType : std::uint16_t { None = 0, Thread = 1, Process = 2, Mailbox = 3, Memory = 4 };

// The low-level tick field of the system information divides this many units
// into the tick length.
inline constexpr std::uint32_t kTickUnits = 10000;

enum HandleSelector : std::uint8_t {
    kSelectCallingThread = 0,
    kSelectCallingProcess = 1,
    kSelectRootProcess = 3,
};
