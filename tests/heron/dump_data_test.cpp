// Heron's download before its first request: no probes, start dates. (Rows,
// rotation and files in the way are held by the run-files tests and the
// end-to-end runs against the stand-in service.)
#include <gtest/gtest.h>

#include "testing/fakes.h"
#include "tests/core/temp_folder.h"
#include "web_dump/dump_data.h"

namespace kvr::test {
using namespace kvr::web;
namespace {

// Records the requests; none may be made in these cases.
class FakeHttp : public HttpClient {
public:
    bool httpRequest(const std::string& method, const std::string& url, const std::filesystem::path&) override {
        requests.push_back(method + " " + url);
        return false;
    }
    std::vector<std::string> requests;
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

TEST(DumpData, StartDatesAndTheEscapedReloadDate) {
    Rig rig;
    EXPECT_EQ(dumpStartDate(rig.settings, rig.clock), "2011/03/05");
    rig.settings.set("NVA5", "Startup", "LDate", "21/05/2014");
    EXPECT_EQ(dumpStartDate(rig.settings, rig.clock), "21/05/2014");
    EXPECT_EQ(queryValue("2014/05/01#x y&z"), "2014/05/01%23x%20y%26z");
}

}  // namespace
}  // namespace kvr::test
