// What the scenario tests share: the console lines the service prints, the calls
// every failure report makes, and a way to join call lists.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/lifecycle.h"
#include "tests/scripted/scripted_kernel.h"
#include "tests/support/console_lines.h"

namespace scenario {

inline const std::string kStarted = console::Lines({console::kStarted});
inline const std::string kInitialized = console::Lines({console::kInitialized});
inline const std::string kCleaningUp = console::Lines({console::kCleaningUp});
inline const std::string kCleanedUp = console::Lines({console::kCleanedUp});

using Calls = std::vector<std::string>;
using scripted::WithoutErrorQueries;

inline std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// The message as the reporter prints it: the text, then the error line.
inline std::string Failure(const std::string& message, std::uint32_t code,
                           const std::string& text = "scripted failure") {
    char line[128];
    std::snprintf(line, sizeof line, "\nError nr=%x %s\n", code, text.c_str());
    return message + line;
}

// What every report asks of the kernel before it decides, with the default script.
inline Calls ReportQueries(std::uint32_t code) {
    return {"GetLastRtError", "GetRtErrorText(" + Hex(code) + ")", "GetLastRtError",
            "GetRtExceptionHandlerInfo(0)", "SetRtExceptionHandler(11 22 33 44 55 66 00 88)"};
}

inline Calls Join(std::initializer_list<Calls> parts) {
    Calls joined;
    for (const Calls& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// The kernel calls the scenarios expect, each named once, as the scripted
// kernel records them with its default handles.
inline const std::string kCatalogMainThread = "CatalogRtHandle(0x0, 0x31, \"TMain\")";
inline const std::string kCatalogName = "CatalogRtHandle(0x1, 0x21, \"Zorvandelith\")";
inline const std::string kLookUpName = "LookupRtHandle(0x1, \"Zorvandelith\", 0)";
inline const std::string kUncatalogName = "UncatalogRtHandle(0x1, \"Zorvandelith\")";
inline const std::string kExit = "RtExit(0)";
inline const std::string kPause = "RtSleep(100)";

// The start-up calls up to the wait, when both names are free.
inline Calls StartUpCalls() {
    return {"GetRtThreadHandles(3)",
            "CopyRtSystemInfo",
            "SetRtProcessMaxPriority(0x0, 150)",
            "GetRtThreadHandles(0)",
            kCatalogMainThread,
            "GetRtThreadHandles(1)",
            kCatalogName};
}

// Names each row of a parameterised table after its own name field.
inline constexpr auto RowName = [](const auto& info) { return std::string(info.param.name); };

inline const char* kWait = "RtNotifyEvent(12, 0xffffffff)";

// The calls after the first wait, without the error queries: the shutdown's,
// when that wait ends the service.
inline Calls ShutdownCalls(const Calls& calls) {
    const auto wait = std::find(calls.begin(), calls.end(), kWait);
    return wait == calls.end() ? Calls{} : WithoutErrorQueries(Calls(wait + 1, calls.end()));
}

// The shutdown's pauses of its wait for the workers.
inline Calls Pauses(int count) {
    return Calls(static_cast<std::size_t>(count), kPause);
}

inline int RunService() {
    return InitializeApplication();
}

// A script whose first notification ends the service.
inline scripted::KernelScript TerminatedScript() {
    scripted::KernelScript script;
    script.notifications = {kTerminationCode};
    return script;
}

}  // namespace scenario
