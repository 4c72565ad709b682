// "Otter.cfg": how each line is read, the file made when it is missing, and
// a file changed between scans.
#include <sstream>

#include "logger_dump/otter_config.h"
#include "tests/otter/rig.h"

namespace kvr::test {
namespace {

std::string describe(const CfgResult& r, const OtterConfig& c) {
    if (r.status == CfgStatus::BadLine) return "bad line";
    if (r.status == CfgStatus::BadFolder) return "bad folder: " + r.errorText;
    std::ostringstream s;
    s << "ports " << c.firstPort << ',' << c.secondPort << ',' << c.comPort << " hi " << c.HighSpeed << " scan "
      << c.ScanRate << " pin '" << c.PinCode << "' tel '" << c.TelNumber << "' folder " << c.DumpFolder.string();
    return s.str();
}

TEST(OtterConfigLines, EachLineReadAsTheUserWroteIt) {
    const std::string tmp = fs::temp_directory_path().string();
    const std::string none = " pin '' tel '' folder ", here = none + tmp + "/";
    const struct {
        std::vector<std::string> lines;
        std::string read;
    } cases[] = {
        {{kOtterCfgDefaultLines, kOtterCfgDefaultLines + 7}, "ports 1,0,1 hi 0 scan 0" + here},
        {{"baud rate = 56000"}, "ports 0,0,0 hi 1 scan 0" + none},
        {{"B = 56000 (fast)"}, "ports 0,0,0 hi 1 scan 0" + none},
        {{"Baud rate = 56000.5"}, "ports 0,0,0 hi 0 scan 0" + none},
        {{"Pin code = 12345"}, "ports 0,0,0 hi 0 scan 0 pin '1234' tel '' folder "},
        {{"Pin code = 12a4"}, "ports 0,0,0 hi 0 scan 0" + none},
        {{"P=   0042   "}, "ports 0,0,0 hi 0 scan 0 pin '0042' tel '' folder "},
        {{"Tel number = 123=456"}, "ports 0,0,0 hi 0 scan 0 pin '' tel '123' folder "},
        {{"T = 0821234567 (logger modem)"}, "ports 0,0,0 hi 0 scan 0 pin '' tel '0821234567' folder "},
        {{"Scan rate = 10.5"}, "ports 0,0,0 hi 0 scan 10" + none},
        {{"s=11.5"}, "ports 0,0,0 hi 0 scan 12" + none},
        {{"Coms port = 0", "2nd port = 3"}, "ports 0,3,0 hi 0 scan 0" + none},
        {{"; comment", "", "xyz", "Hello there", "Coms port = 4"}, "ports 4,0,4 hi 0 scan 0" + none},
        {{"Coms port = COM3"}, "ports 0,0,0 hi 0 scan 0" + none},
        {{"Dump folder = " + tmp}, "ports 0,0,0 hi 0 scan 0" + here},
        {{"Dump folder =  " + tmp + "/  "}, "ports 0,0,0 hi 0 scan 0" + here},
        {{"Dump folder = " + tmp + "/kvr no such folder"}, "bad folder: " + tmp + "/kvr no such folder"},
        {{"Check the cable first"}, "bad line"},
        {{"Coms port = 2", "Pin"}, "bad line"},
    };
    for (const auto& c : cases) {
        OtterConfig cfg;
        const CfgResult r = applyCfgLines(c.lines, tmp, cfg);
        EXPECT_EQ(describe(r, cfg), c.read) << c.lines.back();
        if (r.status == CfgStatus::BadLine) {
            EXPECT_NE(r.errorText.find(c.lines.back()), std::string::npos) << r.errorText;
        }
    }
}

// A missing file is created byte-exact after the "Setup File" message, and
// the scan goes on with its defaults (port 1; here it does not open).
TEST_F(OtterTest, ConfigurationFileIsMadeWhenMissingAndReadAtEveryScan) {
    port.failOpen(1, "No such file or directory");
    OtterApp app(platform, dir);
    app.IniComms();
    ASSERT_EQ(screen.boxes.size(), 2u);
    EXPECT_EQ(screen.boxes[0].title, "Setup File");
    EXPECT_EQ(screen.boxes[0].text, "Please refere to the setup file to change the serial port or other "
                                    "settings.\r\r" + dir.string() + "/Otter.cfg");
    EXPECT_EQ(readFile(dir / "Otter.cfg"),
              "Coms port = 1    (enter serial port number here, default 1)\r\n"
              "Baud rate = 9600 (options are 0/9600/56000, default is 9600)\r\n"
              "Scan rate = 0    (to stay memory resident enter the number of seconds between checking for logger)\r\n"
              "Dump folder =\r\n"
              "2nd port = 0     (enter serial port number for cell modem)\r\n"
              "Pin code =       (if using cell modem and cell pin is not disabled, enter the cell pin number)\r\n"
              "Tel number =     (if using cell modem, enter the tel number of the modem to be dialed)\r\n");
    EXPECT_EQ(app.DumpFolder().string(), dir.string() + "/");
    EXPECT_EQ(texts("ERROR"), std::vector<std::string>{"ERROR, Cannot open serial port 1: No such file or directory"});
    EXPECT_FALSE(app.programEnded());

    // The next scan reads the file it made and asks nothing more about it.
    screen.boxes.clear();
    app.IniComms();
    EXPECT_TRUE(texts("Setup File").empty());

    // Settings are read afresh at every scan: values absent from the file fall
    // back, those present change with it; a bad line takes the port error path.
    port.failOpen(2, "busy");
    writeCfg({"Coms port = 1", "Baud rate = 56000", "Pin code = 1234", "Tel number = 555"});
    app.IniComms();
    EXPECT_EQ(app.HighSpeed(), 1);
    EXPECT_EQ(app.PinCode, "1234");
    writeCfg({"Coms port = 2"});
    app.IniComms();
    EXPECT_EQ(app.HighSpeed(), 0);
    EXPECT_EQ(app.PinCode, "");
    EXPECT_EQ(app.TelNumber, "");
    EXPECT_EQ(screen.boxes.back().text, "ERROR, Cannot open serial port 2: busy");
    writeCfg({"Coms port = 3", "Check this line"});
    const int opens = port.openCount;
    app.IniComms();
    EXPECT_EQ(screen.boxes.back().text, "ERROR, Cannot open serial port 3: Invalid line in Otter.cfg: Check this line");
    EXPECT_EQ(port.openCount, opens);
    EXPECT_FALSE(app.programEnded());
}

}  // namespace
}  // namespace kvr::test
