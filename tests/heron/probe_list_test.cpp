#include <gtest/gtest.h>

#include "testing/fakes.h"
#include "tests/core/temp_folder.h"
#include "web_dump/probe_editor.h"
#include "web_dump/probe_list.h"

namespace kvr::test {
using namespace kvr::web;
namespace {

TEST(ProbeListFile, ReadsEntriesAndProbeNumbers) {
    const struct {
        std::string file;
        std::vector<std::string> entries;  // as the editor shows them
        std::vector<std::int32_t> probes;  // as the download uses them
    } cases[] = {
        {"12,0,abc,-4, 7\r\n0100\r\n", {"12", "7", "100"}, {12, 7, 100}},  // mixed fields, leading zeros
        {"0123\r\n 123abc\r\n", {"123", "123"}, {123, 123}},                 // trailing text
        {"12.5\r\n13.5\r\n", {"12.5", "13.5"}, {12, 14}},  // fraction kept for the editor, rounded half-even
        {"1\n2\r3", {"1", "2", "3"}, {1, 2, 3}},
        {"", {}, {}},
        {"\r\n , ,\r\n\r\n5", {"5"}, {5}},
    };
    for (const auto& c : cases) {
        TempFolder dir;
        writeFile(probeListPath(dir.path()), c.file);
        EXPECT_EQ(readProbeEntries(probeListPath(dir.path())), c.entries) << c.file;
        EXPECT_EQ(readProbeNumbers(probeListPath(dir.path())), c.probes) << c.file;
    }
}

TEST(ProbeListFile, StopsAfterTheLastSlot) {
    TempFolder dir;
    std::string text;
    for (int i = 1; i <= 1005; ++i) text += std::to_string(i) + (i % 3 ? "," : "\r\n");
    writeFile(probeListPath(dir.path()), text);
    auto probes = readProbeNumbers(probeListPath(dir.path()));
    ASSERT_EQ(probes.size(), kMaxProbes);
    EXPECT_EQ(probes.front(), 1);
    EXPECT_EQ(probes.back(), 1001);
}

struct AnswerCase {
    const char* answer;
    const char* entry;  // nullptr: nothing added
};

TEST(ProbeEditor, AddTakesOnlyNumbersAboveZero) {
    const AnswerCase cases[] = {{"15x", "15"}, {"12.5", "12.5"}, {" 0042", "42"}, {"-3", nullptr},
                                {"abc", nullptr}, {"0", nullptr}, {"", nullptr}};
    for (const auto& c : cases) {
        test::ScriptedScreen screen;
        screen.answer("Probe Number", c.answer);
        ProbeListEditor ed;
        ed.entries = {"1"};
        int at = ed.add(screen);
        ASSERT_EQ(screen.boxes.size(), 1u);
        EXPECT_EQ(screen.boxes[0].text, "Enter the new probe number.");
        if (c.entry) {
            EXPECT_EQ(at, 1) << c.answer;
            EXPECT_EQ(ed.entries, (std::vector<std::string>{"1", c.entry})) << c.answer;
        } else {
            EXPECT_EQ(at, -1) << c.answer;
            EXPECT_EQ(ed.entries, std::vector<std::string>{"1"}) << c.answer;
        }
    }
}

TEST(ProbeEditor, EditReplacesOnlyWithANumberAndDeleteAsksFirst) {
    test::ScriptedScreen screen;
    ProbeListEditor ed;
    ed.entries = {"5", "6", "100"};
    EXPECT_FALSE(ed.edit(screen, -1));  // nothing selected: no box
    EXPECT_TRUE(screen.boxes.empty());
    screen.answer("Probe Number", "abc");
    EXPECT_FALSE(ed.edit(screen, 1));
    screen.answer("Probe Number", "66");
    EXPECT_TRUE(ed.edit(screen, 1));
    ASSERT_EQ(screen.boxes.size(), 2u);
    EXPECT_EQ(screen.boxes[1].answer, "66");
    EXPECT_FALSE(ed.remove(screen, 2));  // no answer: No
    screen.answer("DELETE", "Yes");
    EXPECT_TRUE(ed.remove(screen, 2));
    ASSERT_EQ(screen.boxes.size(), 4u);
    EXPECT_EQ(screen.boxes[2].title, "DELETE");
    EXPECT_EQ(screen.boxes[2].text, "Are you sure you want to delete the selected probe 100?");
    EXPECT_EQ(ed.entries, (std::vector<std::string>{"5", "66"}));
    EXPECT_FALSE(ed.remove(screen, 5));
}

TEST(ProbeEditor, SaveRewritesOneNumberPerLineAndAFailureNamesTheFile) {
    TempFolder dir;
    const auto file = probeListPath(dir.path());
    writeFile(file, "12,0,abc,-4, 7\r\n0100\r\n");
    ProbeListEditor ed;
    ed.load(dir.path());
    std::string error;
    ASSERT_TRUE(ed.save(dir.path(), error)) << error;
    EXPECT_EQ(readFile(file), "12\r\n7\r\n100\r\n");
    ed.entries.clear();
    ASSERT_TRUE(ed.save(dir.path(), error));
    EXPECT_EQ(readFile(file), "");
    std::filesystem::remove(file);
    std::filesystem::create_directories(file);  // a folder where the file should be
    EXPECT_FALSE(ed.save(dir.path(), error));
    EXPECT_NE(error.find("Probes.cfg"), std::string::npos) << error;
}

}  // namespace
}  // namespace kvr::test
