#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "rtkernel/hosted/errors.h"

namespace {

// The error lines a document's table of what to fix lists, by code.
std::map<std::uint32_t, std::string> TableRows(const std::string& document, const std::string& rowStart) {
    std::ifstream file(std::string(ZORVANDELITH_SOURCE_DIR) + "/" + document);
    const std::regex row("^" + rowStart + "Error nr=([0-9a-f]+) ([^`\"]+)[`\"]");
    std::map<std::uint32_t, std::string> rows;
    for (std::string line; std::getline(file, line);) {
        std::smatch found;
        if (std::regex_search(line, found, row)) {
            rows[static_cast<std::uint32_t>(std::stoul(found[1], nullptr, 16))] = found[2];
        }
    }
    return rows;
}

// What an operator has to go on, README.md and the manual page on the
// machine, lists every error line the service can print, each in the
// kernel's own words: what a start, the wait, the shutdown and the worker
// slots can meet.
TEST(ErrorTables, ListEveryErrorTheServiceCanPrintInTheKernelsWords) {
    const std::set<std::uint32_t> printable = {0x01, 0x02, 0x05, 0x06, 0x07, 0x09, 0x0C, 0x10, 0x11, 0x12,
                                               0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B};
    const std::map<std::uint32_t, std::string> readme = TableRows("README.md", "\\| `");
    const std::map<std::uint32_t, std::string> manual = TableRows("packaging/zorvandelith.8", "\\.B \"");
    for (const auto& [document, rows] :
         {std::pair{"README.md", readme}, std::pair{"zorvandelith.8", manual}}) {
        std::set<std::uint32_t> listed;
        for (const auto& [code, text] : rows) {
            listed.insert(code);
            EXPECT_EQ(text, hosted::ErrorText(code)) << document << ", nr=" << std::hex << code;
        }
        EXPECT_EQ(listed, printable) << document;
    }
}

}  // namespace
