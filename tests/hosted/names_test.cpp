#include <gtest/gtest.h>

#include <string>

#include "rtkernel/hosted/names.h"

namespace {

TEST(Names, AcceptsShortPrintableNamesOnly) {
    struct Case {
        std::string name;
        bool valid;
    };
    const Case cases[] = {
        {"Zorvandelith", true},
        {"TMain", true},
        {"R?EXIT_MBOX", true},
        {std::string(32, 'a'), true},
        {"a b-c_d:e", true},
        {"", false},
        {std::string(33, 'a'), false},
        {"a/b", false},
        {"/", false},
        {".", false},
        {"..", false},
        {".hidden", false},
        {"tab\there", false},
        {"line\nbreak", false},
        {"del\x7f", false},
        {"esc\x1b[0m", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hosted::ValidName(c.name.c_str()), c.valid) << '"' << c.name << '"';
    }
    EXPECT_FALSE(hosted::ValidName(nullptr));
}

}  // namespace
