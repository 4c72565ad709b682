// The files of a run: dump rotation, headers, appending. Write failures (a
// folder in the way, the message naming the file, a disk that fills in the
// middle of a row and the cut back to the last whole row) are held by the
// fault matrix's write cases and the clean run after each.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/devtime.h"
#include "files/probe_files.h"
#include "tests/core/temp_folder.h"

namespace kvr::test {
namespace {

namespace fs = std::filesystem;

fs::path dump(const fs::path& folder, int n) {
    char name[16];
    std::snprintf(name, sizeof name, "Dump%02d.csv", n);
    return folder / "KVR Dumps" / name;
}

// Number of each dump file present -> its content.
std::map<int, std::string> dumps(const fs::path& folder) {
    std::map<int, std::string> out;
    for (int n = 0; n <= 99; ++n)
        if (fs::exists(dump(folder, n))) out[n] = readFile(dump(folder, n));
    return out;
}

const std::string kMartenHead = std::string(kMartenDumpHeader) + "\r\n";
const std::string kDataHead = std::string(kDataHeader) + "\r\n";

TEST(Rotation, EveryFileMovesUpAndGapsMoveWithThem) {
    std::vector<int> all;
    std::map<int, int> allAfter;
    for (int n = 0; n <= 99; ++n) all.push_back(n);
    for (int n = 1; n <= 99; ++n) allAfter[n] = n - 1;
    const struct {
        const char* name;
        std::vector<int> before;
        std::map<int, int> after;  // new number -> old number whose content it holds
    } cases[] = {
        {"no files", {}, {}},
        {"gap at 04", {0, 1, 2, 3, 5}, {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {6, 5}}},
        {"only 99", {99}, {}},
        {"no 00", {1, 2}, {{2, 1}, {3, 2}}},
        {"a hundred lose the oldest", all, allAfter},
    };
    for (const auto& c : cases) {
        TempFolder dir;
        fs::create_directories(dir / "KVR Dumps");
        for (int n : c.before) writeFile(dump(dir.path(), n), "run " + std::to_string(n) + "\r\n");
        EXPECT_TRUE(rotateDumps(dir.path())) << c.name;
        std::map<int, std::string> expected;
        for (auto [now, was] : c.after) expected[now] = "run " + std::to_string(was) + "\r\n";
        EXPECT_EQ(dumps(dir.path()), expected) << c.name;
    }
}

TEST(RunFiles, EachProgramsFilesOverTwoRuns) {
    const struct {
        Program program;
        std::string dumpHead;  // "": no dump files
    } cases[] = {
        {Program::Marten, kMartenHead},
        {Program::Heron, "Date - 21/05/2014 09:05\r\n" + std::string(kHeronDumpHeader) + "\r\n"},
        {Program::Otter, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.program));
        TempFolder dir;
        for (const char* row : {"first\r\n", "second\r\n"}) {
            RunFiles files;
            ASSERT_TRUE(files.open(dir.path(), c.program, makeLocal(2014, 5, 21, 9, 5, 59)));
            if (!c.dumpHead.empty()) {
                ASSERT_TRUE(files.dump.write(row));
            }
            ASSERT_TRUE(files.data.write(row));
            ASSERT_TRUE(files.close());
            EXPECT_EQ(files.failureText(), "");
        }
        EXPECT_EQ(readFile(dir / "KVR Probe Data.csv"), kDataHead + "first\r\nsecond\r\n");
        if (c.dumpHead.empty()) {
            EXPECT_FALSE(fs::exists(dir / "KVR Dumps"));
        } else {
            EXPECT_EQ(dumps(dir.path()), (std::map<int, std::string>{{0, c.dumpHead + "second\r\n"},
                                                                    {1, c.dumpHead + "first\r\n"}}));
        }
    }
}

TEST(RunFiles, HeaderOnlyIntoAnEmptyDataFileAndAnUnendedLineIsEnded) {
    const struct {
        const char* before;  // nullptr: no file
        std::string after;
    } cases[] = {{nullptr, kDataHead}, {"", kDataHead}, {"\r\n", "\r\n"}, {"x", "x\r\n"},
                 {"row\r\n01395, 2026/12/06 21:15:00, 21.4, ", "row\r\n01395, 2026/12/06 21:15:00, 21.4, \r\n"},
                 {"a\r", "a\r\n"}, {"a\n", "a\n"}};
    for (const auto& c : cases) {
        TempFolder dir;
        const fs::path p = dir / "KVR Probe Data.csv";
        if (c.before) writeFile(p, c.before);
        DataFile f;
        EXPECT_TRUE(openDataFile(f, p));
        EXPECT_TRUE(f.close());
        EXPECT_EQ(readFile(p), c.after) << (c.before ? c.before : "missing");
    }
}

}  // namespace
}  // namespace kvr::test
