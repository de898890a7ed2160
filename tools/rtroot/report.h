// How rtroot shows entries: aligned columns for people, JSON for scripts.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "rtkernel/hosted/root/inspection.h"

namespace rtroot {

struct Row {
    std::string name;
    hosted::EntryReport report;
};

const char* StateName(hosted::EntryReport::State state);
std::string Table(const std::vector<Row>& rows, std::time_t now);
std::string Json(const std::vector<Row>& rows);
std::string JsonObject(const Row& row);
// show --json of a name that is not there: the same keys, state "absent".
std::string JsonAbsent(const std::string& name);

}  // namespace rtroot
