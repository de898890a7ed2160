// README.md quotes some files whole, each in the code block after a line
// "<!-- quoted from PATH -->": what a reader copies is what the tests compile.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

TEST(Guide, QuotesFilesAsTheyStand) {
    const std::string source = ZORVANDELITH_SOURCE_DIR;
    const std::string readme = Read(source + "/README.md");
    ASSERT_FALSE(readme.empty());
    const std::string marker = "<!-- quoted from ";
    int quotes = 0;
    for (std::size_t at = readme.find(marker); at != std::string::npos; at = readme.find(marker, at + 1)) {
        const std::size_t pathStart = at + marker.size();
        const std::size_t markerEnd = readme.find(" -->\n", pathStart);
        ASSERT_NE(markerEnd, std::string::npos) << readme.substr(at, 80);
        const std::string path = readme.substr(pathStart, markerEnd - pathStart);
        const std::size_t fence = markerEnd + 5;
        const std::size_t blockStart = readme.find('\n', fence);
        ASSERT_TRUE(readme.compare(fence, 3, "```") == 0 && blockStart != std::string::npos)
            << path << ": no code block follows its mark";
        const std::size_t blockEnd = readme.find("\n```\n", blockStart);
        ASSERT_NE(blockEnd, std::string::npos) << path << ": its code block does not end";
        EXPECT_EQ(readme.substr(blockStart + 1, blockEnd - blockStart), Read(source + "/" + path)) << path;
        ++quotes;
    }
    EXPECT_GT(quotes, 0) << "README.md quotes no file";
}

}  // namespace
