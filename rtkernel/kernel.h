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

enum HandleSelector : std::uint8_t {
    kSelectCallingThread = 0,
    kSelectCallingProcess = 1,
    kSelectRootProcess = 3,
};
