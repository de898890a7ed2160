// README.md and the pages of docs/ quote some files whole, each in the code
// block after a line "<!-- quoted from PATH -->": what a reader copies is what
// the tests compile.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// README.md and every page of docs/, as paths from the source directory.
std::vector<std::string> Pages(const std::string& source) {
    std::vector<std::string> pages = {"README.md"};
    for (const auto& file : std::filesystem::directory_iterator(source + "/docs")) {
        if (file.path().extension() == ".md") {
            pages.push_back("docs/" + file.path().filename().string());
        }
    }
    std::sort(pages.begin() + 1, pages.end());
    return pages;
}

TEST(Guide, QuotesFilesAsTheyStand) {
    const std::string source = ZORVANDELITH_SOURCE_DIR;
    const std::string marker = "<!-- quoted from ";
    int quotes = 0;
    for (const std::string& page : Pages(source)) {
        const std::string text = Read(source + "/" + page);
        ASSERT_FALSE(text.empty()) << page;
        for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
            const std::size_t pathStart = at + marker.size();
            const std::size_t markerEnd = text.find(" -->\n", pathStart);
            ASSERT_NE(markerEnd, std::string::npos) << page << ": " << text.substr(at, 80);
            const std::string path = text.substr(pathStart, markerEnd - pathStart);
            const std::size_t fence = markerEnd + 5;
            const std::size_t blockStart = text.find('\n', fence);
            ASSERT_TRUE(text.compare(fence, 3, "```") == 0 && blockStart != std::string::npos)
                << page << ", " << path << ": no code block follows its mark";
            const std::size_t blockEnd = text.find("\n```\n", blockStart);
            ASSERT_NE(blockEnd, std::string::npos) << page << ", " << path << ": its code block does not end";
            EXPECT_EQ(text.substr(blockStart + 1, blockEnd - blockStart), Read(source + "/" + path))
                << page << ", " << path;
            ++quotes;
        }
    }
    // The worker guide quotes its worked example: a guide that stopped quoting
    // it would no longer be held to the code.
    EXPECT_GT(quotes, 0) << "no page quotes a file";
    EXPECT_NE(Read(source + "/docs/worker.md").find(marker + "tests/app/worker_example.h -->\n"), std::string::npos)
        << "docs/worker.md does not quote tests/app/worker_example.h";
}

}  // namespace
