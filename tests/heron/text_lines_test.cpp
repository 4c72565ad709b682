#include <gtest/gtest.h>

#include "tests/core/temp_folder.h"
#include "web_dump/text_lines.h"

namespace kvr::test {
using namespace kvr::web;
namespace {

std::vector<std::string> readAll(const std::string& content, std::size_t skipped = 0) {
    TempFolder dir;
    writeFile(dir / "f.txt", content);
    LineReader in(dir / "f.txt");
    std::vector<std::string> out;
    std::string line;
    while (in.next(line)) out.push_back(line);
    EXPECT_FALSE(in.failed());
    EXPECT_EQ(in.skippedLines(), skipped);
    return out;
}

TEST(LineReader, LineEnds) {
    struct Case {
        std::string content;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
        {"\r\n\r\n", {"", ""}},
        {"a\r\r\nb", {"a", "", "b"}},  // a lone CR ends a line of its own
        {"a\n\rb", {"a", "", "b"}},
    };
    for (const auto& c : cases) EXPECT_EQ(readAll(c.content), c.lines) << testing::PrintToString(c.content);
}

TEST(LineReader, LinesAcrossBufferBoundariesStayWhole) {
    // The reader fills 64 KiB at a time: put a CR LF pair, a line and a
    // lone CR across that boundary and make sure nothing is split, lost or doubled.
    const std::size_t chunk = 64 * 1024;
    for (std::size_t shift : {0u, 1u, 2u, 3u}) {
        std::string first(chunk - shift - 1, 'x');
        std::string content = first + "\r\nsecond line\rthird";
        // A line at the length limit is kept; longer ones are skipped and
        // counted, also the last one without its line end.
        std::string big(LineReader::kMaxLine, 'y');
        content += "\r\n" + big + "\n" + std::string(3 * chunk + 17, 'z') + "\r\nlast\r\n" + big + "y";
        auto lines = readAll(content, 2);
        ASSERT_EQ(lines.size(), 5u) << shift;
        EXPECT_EQ(lines[0], first);
        EXPECT_EQ(lines[1], "second line");
        EXPECT_EQ(lines[2], "third");
        EXPECT_EQ(lines[3], big);
        EXPECT_EQ(lines[4], "last");
    }
}

}  // namespace
}  // namespace kvr::test
