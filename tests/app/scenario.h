// What the scenario tests share: the console lines the service prints, the calls
// every failure report makes, and a way to join call lists.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/app_state.h"
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

// What every report asks of the kernel before it decides, with the default
// script: the reporter's own tests pin these; every other test sees a report
// as the one mark kReport (see ReportsAsOne).
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

// The start-up's calls through the registration, when both names are free.
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

inline const std::string kWait = "RtNotifyEvent(12, 0xffffffff)";

// Views of a call list, so that a test pins the calls of the step it is about
// and not those of other steps or of other threads (a worker's start, a
// report's queries).

// A report, whatever it asked of the kernel before it acted.
inline const std::string kReport = "(report)";

// The calls with each report's own queries (the error code and text, the
// exception settings and, unless it ended the process at once, the calling
// thread) as one kReport. A report begins with GetLastRtError, which nothing
// else calls.
inline Calls ReportsAsOne(const Calls& calls) {
    Calls kept;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] != "GetLastRtError") {
            kept.push_back(calls[i]);
            continue;
        }
        kept.push_back(kReport);
        i += 3;  // the text and the second reading of the code, then the settings read
        if (i + 1 < calls.size() && calls[i + 1].rfind("SetRtExceptionHandler", 0) == 0) {
            ++i;
        }
        if (i + 1 < calls.size() && calls[i + 1] == "GetRtThreadHandles(0)") {
            ++i;
        }
    }
    return kept;
}

// The calls from the first `first` up to, not including, the first call after
// it that begins with one of `ends`; empty when `first` is never called.
inline Calls Step(const Calls& calls, const std::string& first, std::initializer_list<std::string> ends) {
    const auto begin = std::find(calls.begin(), calls.end(), first);
    if (begin == calls.end()) {
        return {};
    }
    const auto end = std::find_if(begin + 1, calls.end(), [&](const std::string& call) {
        return std::any_of(ends.begin(), ends.end(),
                           [&](const std::string& prefix) { return call.rfind(prefix, 0) == 0; });
    });
    return Calls(begin, end);
}

// The last count calls.
inline Calls Last(const Calls& calls, std::size_t count) {
    return Calls(calls.end() - static_cast<std::ptrdiff_t>(std::min(count, calls.size())), calls.end());
}

inline long Count(const Calls& calls, const std::string& call) {
    return std::count(calls.begin(), calls.end(), call);
}

// The shutdown's pauses of its wait for the workers.
inline Calls Pauses(int count) {
    return Calls(static_cast<std::size_t>(count), kPause);
}

inline int RunService() {
    return InitializeApplication();
}

// The record as start-up leaves it once the service runs, with the script's
// default handles, for tests of the steps that follow it alone.
inline void SetRunning() {
    const scripted::KernelScript defaults;
    rootProcess = defaults.rootProcess;
    StoreShared(AppState.mainThread, defaults.mainThread);
    AppState.nameCataloged = 1;
    StoreShared(AppState.lifecycleState, LifecycleState::Running);
}

// A script whose first notification ends the service.
inline scripted::KernelScript TerminatedScript() {
    scripted::KernelScript script;
    script.notifications = {kTerminationCode};
    return script;
}

}  // namespace scenario
