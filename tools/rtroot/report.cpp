#include "tools/rtroot/report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "rtkernel/kernel.h"

namespace rtroot {
namespace {

using State = hosted::EntryReport::State;

const char* TypeName(std::uint16_t type) {
    switch (static_cast<RtObjectType>(type)) {
        case RtObjectType::Thread:
            return "thread";
        case RtObjectType::Process:
            return "process";
        case RtObjectType::Mailbox:
            return "mailbox";
        case RtObjectType::Memory:
            return "memory";
        default:
            return type == 0 ? "-" : "other";
    }
}

// Seconds the entry has stood; a clock set back reads as 0, never negative.
std::int64_t AgeSeconds(const Row& row, std::time_t now) {
    return std::max<std::int64_t>(0, now - row.report.modifiedAt);
}

std::string Age(std::int64_t seconds) {
    constexpr std::int64_t kMinute = 60;
    constexpr std::int64_t kHour = 60 * kMinute;
    constexpr std::int64_t kDay = 24 * kHour;
    char text[32];
    if (seconds < kMinute) {
        (void)std::snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
    } else if (seconds < kHour) {
        (void)std::snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(seconds / kMinute),
                            static_cast<long long>(seconds % kMinute));
    } else if (seconds < kDay) {
        (void)std::snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(seconds / kHour),
                            static_cast<long long>(seconds % kHour / kMinute));
    } else {
        (void)std::snprintf(text, sizeof text, "%lldd%02lldh", static_cast<long long>(seconds / kDay),
                            static_cast<long long>(seconds % kDay / kHour));
    }
    return text;
}

// A name's bytes as lowercase hexadecimal digits: every name the directory
// can hold, UTF-8 or not, written so that a script gets its bytes back.
std::string Hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        hex += kDigits[value >> 4];
        hex += kDigits[value & 0xF];
    }
    return hex;
}

nlohmann::json ToJson(const Row& row, std::time_t now) {
    return {{"name", row.name},
            {"nameHex", Hex(row.name)},
            {"state", StateName(row.report.state)},
            {"type", row.report.type},
            {"typeName", TypeName(row.report.type)},
            {"pid", row.report.pid != 0 ? nlohmann::json(row.report.pid) : nlohmann::json(nullptr)},
            {"ageSeconds", AgeSeconds(row, now)}};
}

// A name need not be UTF-8, and JSON text must be: a byte that is not part of
// valid UTF-8 is written as U+FFFD in "name", and "nameHex" keeps the bytes.
std::string Dump(const nlohmann::json& value) {
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

const char* StateName(State state) {
    switch (state) {
        case State::Live:
            return "live";
        case State::Stale:
            return "stale";
        case State::Unknown:
            return "unknown";
        case State::Damaged:
            break;
    }
    return "damaged";
}

std::string Table(const std::vector<Row>& rows, std::time_t now) {
    std::vector<std::vector<std::string>> cells = {{"NAME", "STATE", "TYPE", "PID", "AGE"}};
    for (const Row& row : rows) {
        // A stale entry's recorded pid may name another process by now, and a
        // holder's in another PID namespace names none here: neither is shown.
        const std::string pid = row.report.pid != 0 ? std::to_string(row.report.pid) : "-";
        cells.push_back({row.name, StateName(row.report.state), TypeName(row.report.type), pid,
                         Age(AgeSeconds(row, now))});
    }
    std::vector<std::size_t> widths(cells.front().size(), 0);
    for (const auto& line : cells) {
        for (std::size_t column = 0; column < line.size(); ++column) {
            widths[column] = std::max(widths[column], line[column].size());
        }
    }
    std::string text;
    for (const auto& line : cells) {
        for (std::size_t column = 0; column < line.size(); ++column) {
            const bool last = column + 1 == line.size();
            text += line[column] + (last ? "" : std::string(widths[column] - line[column].size() + 2, ' '));
        }
        text += "\n";
    }
    return text;
}

std::string Json(const std::vector<Row>& rows) {
    const std::time_t now = std::time(nullptr);
    nlohmann::json list = nlohmann::json::array();
    for (const Row& row : rows) {
        list.push_back(ToJson(row, now));
    }
    return Dump(list);
}

std::string JsonAbsent(const std::string& name) {
    return Dump({{"name", name},
                 {"nameHex", Hex(name)},
                 {"state", "absent"},
                 {"type", nullptr},
                 {"typeName", nullptr},
                 {"pid", nullptr},
                 {"ageSeconds", nullptr}});
}

std::string JsonObject(const Row& row) {
    return Dump(ToJson(row, std::time(nullptr)));
}

}  // namespace rtroot
