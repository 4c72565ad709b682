#include <gtest/gtest.h>

#include <map>

#include "files/probe_files.h"
#include "testing/fakes.h"
#include "tests/heron/temp_folder.h"
#include "web_dump/dump_data.h"

namespace kvr::web {
namespace {

using heron_test::readFile;
using heron_test::TempFolder;
using heron_test::writeFile;

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

const char* const kDumpHeader =
    "Probe ,RecNo,Date                               ,T1,SM1,T2,SM2,T3,SM3,T4,SM4,T5,SM5,T6,SM6,Temp,Volts,PwrFail\r\n";
const char* const kDataHeader =
    "Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,Temp5,Water%5,Temp6,Water%6,"
    "Volts\r\n";

struct Rig {
    TempFolder dir;
    testing::FakeClock clock;  // 2012-03-04 12:34:56
    testing::MemorySettings settings;
    testing::ScriptedScreen screen;
    FakeHttp http;
    int editorOpened = 0;
    WebRun run{clock, settings, screen, http, dir.path(), [this] { ++editorOpened; }, {}};
    Rig() { settings.set("KVR", "Startup", "DataServer", "data.test:8080"); }
    std::string lastDate() { return settings.get("NVA5", "Startup", "LDate").value_or("<absent>"); }
    std::string dump(int n = 0) { return readFile(dumpFilePath(dir.path(), n)); }
    std::string data() { return readFile(dir / "KVR Probe Data.csv"); }
};

TEST(DumpData, ThreeProbesWriteByteExactFiles) {
    Rig rig;
    writeFile(rig.dir / "Probes.cfg", "12\r\n7, 13\r\n");
    rig.http.bodies[12] =
        "12,100,21/05/2014 13:45,1,2,3,4,5,6,7,8,9,10,11,12,25.5,3.66,FALSE),9\r\n"
        "13,5,21/05/2014 13:45,1,2,3,4,5,6,7,8,9,10,11,12,25.5,3.66,FALSE),9\r\n"  // another probe's line
        "12,1,2\r\n"                                                                // too short
        "\r\n"
        "12,101,21/05/2014 19:45:30,-1.5,0.5,20.1,30.2,0,0,0,0,0,0,0,0,0,4,true),0\n";
    rig.http.bodies[7] = "7,0,01/06/2014 00:00,21.5,5,21.5,5,21.5,5,21.5,5,21.5,5,21.5,5,-2.25,3.64,x,65535";
    rig.http.bodies[13] = "13,65535,31/12/2013 23:59,7.26,12.345,0,0,0,0,0,0,0,0,0,0,10,2,False)\r\n";

    DumpReport report = dumpData(rig.run, "2014/05/01");

    EXPECT_EQ(report.result, DumpResult::Completed);
    EXPECT_EQ(report.rows, 4u);
    EXPECT_EQ(rig.http.requests,
              (std::vector<std::string>{
                  "GET http://data.test:8080/site/pull.ashx?fdate=2014/05/01&tdate=2012/03/05&probeid=12",
                  "GET http://data.test:8080/site/pull.ashx?fdate=2014/05/01&tdate=2012/03/05&probeid=7",
                  "GET http://data.test:8080/site/pull.ashx?fdate=2014/05/01&tdate=2012/03/05&probeid=13"}));
    EXPECT_EQ(rig.dump(), std::string("Date - 04/03/2012 12:34\r\n") + kDumpHeader +
                              "12,  100 ,2014/05/21 13:45:00,1.00,2.00,3.00,4.00,5.00,6.00,7.00,8.00,9.00,10.00,"
                              "11.00,12.00,25.50,3.7,1,9\r\n"
                              "12,  101 ,2014/05/21 19:45:00,-1.50,0.50,20.10,30.20,0.00,0.00,0.00,0.00,0.00,0.00,"
                              "0.00,0.00,0.00,4.0,0,\r\n"
                              "7,  0 ,2014/06/01 00:00:00,21.50,5.00,21.50,5.00,21.50,5.00,21.50,5.00,21.50,5.00,"
                              "21.50,5.00,-2.25,3.6,0,65535\r\n"
                              "13,  65535 ,2013/12/31 23:59:00,7.26,12.35,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,"
                              "0.00,0.00,10.00,2.0,1,\r\n");
    EXPECT_EQ(rig.data(), std::string(kDataHeader) +
                              "00012, 2014/05/21 13:45:00, 01.0, 002.00, 03.0, 004.00, 05.0, 006.00, 07.0, 008.00, "
                              "09.0, 010.00, 11.0, 012.00,3.7\r\n"
                              "00012, 2014/05/21 19:45:00, -01.5, 000.50, 20.1, 030.20, 00.0, 000.00, 00.0, 000.00, "
                              "00.0, 000.00, 00.0, 000.00,4.0\r\n"
                              "00007, 2014/06/01 00:00:00, 21.5, 005.00, 21.5, 005.00, 21.5, 005.00, 21.5, 005.00, "
                              "21.5, 005.00, 21.5, 005.00,3.6\r\n"
                              "00013, 2013/12/31 23:59:00, 07.3, 012.35, 00.0, 000.00, 00.0, 000.00, 00.0, 000.00, "
                              "00.0, 000.00, 00.0, 000.00,2.0\r\n");
    EXPECT_EQ(rig.lastDate(), "04/03/2012");
    EXPECT_EQ(rig.screen.progress, (std::vector<int>{0, 33, 67}));
    EXPECT_EQ(rig.screen.events, (std::vector<std::string>{"Downloading probe 12", "Downloading probe 7",
                                                           "Downloading probe 13"}));
    EXPECT_TRUE(rig.screen.boxes.empty());
    EXPECT_FALSE(std::filesystem::exists(rig.dir / "WebProbeData.csv"));
}

TEST(DumpData, AFailedProbeKeepsTheLastDateAndIsReportedOnce) {
    Rig rig;
    rig.settings.set("NVA5", "Startup", "LDate", "01/01/2012");
    writeFile(rig.dir / "Probes.cfg", "12\r\n7\r\n13\r\n");
    rig.http.bodies[12] = "12,1,21/05/2014 13:45,1,2,3,4,5,6,7,8,9,10,11,12,25.5,3.66,x\r\n";
    rig.http.bodies[13] = "13,1,21/05/2014 13:45,1,2,3,4,5,6,7,8,9,10,11,12,25.5,3.66,x\r\n";

    DumpReport report = dumpData(rig.run, "01/01/2012");

    EXPECT_EQ(report.result, DumpResult::Failed);
    EXPECT_EQ(report.failedProbes, std::vector<std::int32_t>{7});
    EXPECT_EQ(rig.http.requests.size(), 3u);  // the others were still asked
    EXPECT_EQ(rig.lastDate(), "01/01/2012");
    ASSERT_EQ(rig.screen.boxes.size(), 1u);
    EXPECT_EQ(rig.screen.boxes[0].title, "ERROR");
    EXPECT_NE(rig.screen.boxes[0].text.find("probe 7 could not be downloaded"), std::string::npos)
        << rig.screen.boxes[0].text;
    // Rows of the probes that answered are on the disk.
    EXPECT_NE(rig.dump().find("\r\n12,  1 ,"), std::string::npos);
    EXPECT_NE(rig.dump().find("\r\n13,  1 ,"), std::string::npos);
    EXPECT_EQ(rig.data().find("00007"), std::string::npos);

    // "Dump Data" next asks the probes that answered from today only, the
    // failed one from the last date; "Reload Data" asks all from its date.
    rig.http.requests.clear();
    rig.settings.set("NVA5", "ProbeDates", "13", "05/05/2011");  // older than the last date: ignored
    dumpData(rig.run, "01/01/2012", true);
    dumpData(rig.run, "2011/12/31", false);
    std::vector<std::string> fdates;
    for (const auto& r : rig.http.requests) fdates.push_back(r.substr(r.find("fdate=") + 6, 10));
    EXPECT_EQ(fdates, (std::vector<std::string>{"04/03/2012", "01/01/2012", "01/01/2012", "2011/12/31",
                                                 "2011/12/31", "2011/12/31"}));
}

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

TEST(DumpData, NoDataServerIsToldOnceAndTouchesNoFile) {
    Rig rig;
    rig.settings.set("KVR", "Startup", "DataServer", "  ");
    writeFile(rig.dir / "Probes.cfg", "12\r\n7\r\n");
    DumpReport report = dumpData(rig.run, "2014/05/01");
    EXPECT_EQ(report.result, DumpResult::NoDataServer);
    EXPECT_TRUE(rig.http.requests.empty());
    ASSERT_EQ(rig.screen.boxes.size(), 1u);
    EXPECT_EQ(rig.screen.boxes[0].title, "ERROR");
    EXPECT_FALSE(std::filesystem::exists(rig.dir / "KVR Dumps"));
    EXPECT_EQ(rig.lastDate(), "<absent>");
}

TEST(DumpData, StartDates) {
    Rig rig;
    EXPECT_EQ(defaultStartDate(rig.clock), "2011/03/05");
    EXPECT_EQ(dumpStartDate(rig.settings, rig.clock), "2011/03/05");
    rig.settings.set("NVA5", "Startup", "LDate", "21/05/2014");
    EXPECT_EQ(dumpStartDate(rig.settings, rig.clock), "21/05/2014");
    EXPECT_EQ(queryValue("2014/05/01#x y&z"), "2014/05/01%23x%20y%26z");
}

}  // namespace
}  // namespace kvr::web
