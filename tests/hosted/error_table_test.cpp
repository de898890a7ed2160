#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "rtkernel/hosted/errors.h"

namespace {

const std::string kSource = ZORVANDELITH_SOURCE_DIR;

// The error lines a document's table of what to fix lists, by code.
std::map<std::uint32_t, std::string> TableRows(const std::string& document, const std::string& rowStart) {
    std::ifstream file(kSource + "/" + document);
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

// What an operator has to go on, the manual page on the machine, lists every
// error line the service can print, each in the kernel's own words: what a
// start, the wait, the shutdown and the worker slots can meet.
TEST(ErrorTables, ListEveryErrorTheServiceCanPrintInTheKernelsWords) {
    const std::set<std::uint32_t> printable = {0x01, 0x02, 0x05, 0x06, 0x07, 0x09, 0x0C, 0x10, 0x11, 0x12,
                                               0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B};
    const std::map<std::uint32_t, std::string> rows = TableRows("packaging/zorvandelith.8", "\\.B \"");
    std::set<std::uint32_t> listed;
    for (const auto& [code, text] : rows) {
        listed.insert(code);
        EXPECT_EQ(text, hosted::ErrorText(code)) << "zorvandelith.8, nr=" << std::hex << code;
    }
    EXPECT_EQ(listed, printable) << "zorvandelith.8";
}

// README.md, the pages of docs/ and the manual pages.
std::vector<std::string> Pages() {
    std::vector<std::string> pages = {"README.md"};
    const std::regex manualPage(R"(.*\.[1-8])");
    for (const char* directory : {"docs", "packaging"}) {
        for (const auto& file : std::filesystem::directory_iterator(kSource + "/" + directory)) {
            const std::string name = file.path().filename().string();
            if (name.ends_with(".md") || std::regex_match(name, manualPage)) {
                pages.push_back(std::string(directory) + "/" + name);
            }
        }
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

// Where a quoted error line ends: its closing quote or backtick, or a roff
// escape (\(dq), on its line.
std::string UpToQuoteEnd(const std::string& text, bool& endedWithLine) {
    const std::size_t end = text.find_first_of("`\"\\");
    endedWithLine = end == std::string::npos;
    return endedWithLine ? text : text.substr(0, end);
}

// Wherever a page quotes an error line, in running text, a table or an
// example, it is the kernel's line; one that a page breaks across two lines
// is read on across the break.
TEST(ErrorTables, EveryPageQuotesErrorLinesInTheKernelsWords) {
    const std::regex errorLine("Error nr=([0-9a-f]+) ");
    int quoted = 0;
    for (const std::string& page : Pages()) {
        std::ifstream file(kSource + "/" + page);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        for (std::size_t at = 0; at < lines.size(); ++at) {
            for (std::sregex_iterator found(lines[at].begin(), lines[at].end(), errorLine), end; found != end;
                 ++found) {
                const auto code = static_cast<std::uint32_t>(std::stoul((*found)[1], nullptr, 16));
                const std::string expected = hosted::ErrorText(code);
                bool endedWithLine = false;
                std::string text = UpToQuoteEnd(found->suffix().str(), endedWithLine);
                for (std::size_t next = at + 1; endedWithLine && next < lines.size() && text != expected &&
                                                expected.starts_with(text + " ");
                     ++next) {
                    const std::size_t start = lines[next].find_first_not_of(' ');
                    text += " " + UpToQuoteEnd(start == std::string::npos ? "" : lines[next].substr(start),
                                               endedWithLine);
                }
                EXPECT_EQ(text, expected) << page << ":" << at + 1 << ": nr=" << std::hex << code;
                ++quoted;
            }
        }
    }
    EXPECT_GT(quoted, 0) << "no page quotes an error line";
}

}  // namespace
