#include <gtest/gtest.h>

#include <map>

#include "files/probe_files.h"
#include "testing/fakes.h"
#include "tests/heron/temp_folder.h"
#include "web_dump/dump_data.h"

namespace kvr::test {
using namespace kvr::web;
namespace {

using test::readFile;
using test::TempFolder;
using test::writeFile;

// Serves a scripted body per probe number; a probe without one fails.
class FakeHttp : public HttpClient {
public:
    bool httpRequest(const std::string& method, const std::string& url, const std::filesystem::path& file) override {
        requests.push_back(method + " " + url);
        auto pos = url.rfind("probeid=");
        int probe = std::stoi(url.substr(pos + 8));
        auto it = bodies.find(probe);
        if (it == bodies.end()) return false;
        writeFile(file, it->second);
        return true;
    }
    std::vector<std::string> requests;
    std::map<int, std::string> bodies;
};

struct Rig {
    TempFolder dir;
    test::FakeClock clock;  // 2012-03-04 12:34:56
    test::MemorySettings settings;
    test::ScriptedScreen screen;
    FakeHttp http;
    int editorOpened = 0;
    WebRun run{clock, settings, screen, http, dir.path(), [this] { ++editorOpened; }, {}};
    Rig() { settings.set("KVR", "Startup", "DataServer", "data.test:8080"); }
    std::string lastDate() { return settings.get("NVA5", "Startup", "LDate").value_or("<absent>"); }
    std::string dump(int n = 0) { return readFile(dumpFilePath(dir.path(), n)); }
    std::string data() { return readFile(dir / "KVR Probe Data.csv"); }
};

TEST(DumpData, NoProbesOpensTheEditorAndTouchesNoFile) {
    for (const char* list : std::initializer_list<const char*>{"", "0,-3,abc\r\n", nullptr}) {
        Rig rig;
        if (list) writeFile(rig.dir / "Probes.cfg", list);
        DumpReport report = dumpData(rig.run, "2014/05/01");
        EXPECT_EQ(report.result, DumpResult::NoProbes);
        ASSERT_EQ(rig.screen.boxes.size(), 1u);
        EXPECT_EQ(rig.screen.boxes[0].title, "No Probe Numbers");
        EXPECT_EQ(rig.screen.boxes[0].text, "No probe numbers are configured in the probe list file: \r" +
                                                (rig.dir / "Probes.cfg").string());
        EXPECT_EQ(rig.editorOpened, 1);
        EXPECT_TRUE(rig.http.requests.empty());
        EXPECT_FALSE(std::filesystem::exists(rig.dir / "KVR Dumps"));
        EXPECT_FALSE(std::filesystem::exists(rig.dir / "KVR Probe Data.csv"));
        EXPECT_EQ(rig.lastDate(), "<absent>");
    }
}

TEST(DumpData, OlderDumpsMoveUpAndTheRunningFileGrows) {
    Rig rig;
    writeFile(rig.dir / "Probes.cfg", "12\r\n");
    writeFile(dumpFilePath(rig.dir.path(), 0), "old run 0\r\n");
    writeFile(dumpFilePath(rig.dir.path(), 2), "old run 2\r\n");
    writeFile(rig.dir / "KVR Probe Data.csv", "\r\n");  // not empty: no header
    rig.http.bodies[12] = "12,1,21/05/2014 13:45,1,2,3,4,5,6,7,8,9,10,11,12,25.5,3.66,x\r\n";
    EXPECT_EQ(dumpData(rig.run, "2014/05/01").result, DumpResult::Completed);
    EXPECT_EQ(rig.dump(1), "old run 0\r\n");
    EXPECT_EQ(rig.dump(3), "old run 2\r\n");
    EXPECT_FALSE(std::filesystem::exists(dumpFilePath(rig.dir.path(), 2)));
    EXPECT_EQ(rig.data(), "\r\n00012, 2014/05/21 13:45:00, 01.0, 002.00, 03.0, 004.00, 05.0, 006.00, 07.0, 008.00, "
                          "09.0, 010.00, 11.0, 012.00,3.7\r\n");
    EXPECT_EQ(rig.screen.progress, std::vector<int>{0});
}

TEST(DumpData, FilesThatCannotBeWrittenStopTheRunBeforeAnyRequest) {
    Rig rig;
    rig.settings.set("NVA5", "Startup", "LDate", "01/01/2012");
    writeFile(rig.dir / "Probes.cfg", "12\r\n");
    std::filesystem::create_directories(rig.dir / "KVR Probe Data.csv");  // a folder in the way
    rig.http.bodies[12] = "12,1,21/05/2014 13:45,1,2,3,4,5,6,7,8,9,10,11,12,25.5,3.66,x\r\n";
    DumpReport report = dumpData(rig.run, "2014/05/01");
    EXPECT_EQ(report.result, DumpResult::Failed);
    EXPECT_TRUE(rig.http.requests.empty());
    EXPECT_EQ(rig.lastDate(), "01/01/2012");
    ASSERT_EQ(rig.screen.boxes.size(), 1u);
    EXPECT_NE(rig.screen.boxes[0].text.find("KVR Probe Data.csv"), std::string::npos) << rig.screen.boxes[0].text;
}

TEST(DumpData, StartDatesAndTheEscapedReloadDate) {
    Rig rig;
    EXPECT_EQ(dumpStartDate(rig.settings, rig.clock), "2011/03/05");
    rig.settings.set("NVA5", "Startup", "LDate", "21/05/2014");
    EXPECT_EQ(dumpStartDate(rig.settings, rig.clock), "21/05/2014");
    EXPECT_EQ(queryValue("2014/05/01#x y&z"), "2014/05/01%23x%20y%26z");
}

}  // namespace
}  // namespace kvr::test
