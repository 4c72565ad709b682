#include <gtest/gtest.h>

#include "logger_dump/otter_config.h"
#include "tests/otter/otter_fixture.h"

namespace kvr::otter_test {
namespace {

struct CfgCase {
    const char* name;
    std::vector<std::string> lines;
    int firstPort, secondPort, comPort;
    int highSpeed, scanRate;
    const char* pin;
    const char* tel;
};

TEST(OtterConfigLines, EachKeyReadAsTheUserWroteIt) {
    const fs::path folder = fs::temp_directory_path();
    const CfgCase cases[] = {
        {"defaults", {kOtterCfgDefaultLines, kOtterCfgDefaultLines + 7}, 1, 0, 1, 0, 0, "", ""},
        {"lower-case b with 56000", {"baud rate = 56000"}, 0, 0, 0, 1, 0, "", ""},
        {"56000 with a note", {"B = 56000 (fast)"}, 0, 0, 0, 1, 0, "", ""},
        {"almost 56000", {"Baud rate = 56000.5"}, 0, 0, 0, 0, 0, "", ""},
        {"five-digit pin keeps four", {"Pin code = 12345"}, 0, 0, 0, 0, 0, "1234", ""},
        {"pin with a letter", {"Pin code = 12a4"}, 0, 0, 0, 0, 0, "", ""},
        {"short pin", {"Pin code = 123"}, 0, 0, 0, 0, 0, "", ""},
        {"pin padded with spaces", {"P=   0042   "}, 0, 0, 0, 0, 0, "0042", ""},
        {"second = cuts the value", {"Tel number = 123=456"}, 0, 0, 0, 0, 0, "", "123"},
        {"telephone with explanation", {"Tel number = 0821234567 (logger modem)"}, 0, 0, 0, 0, 0, "", "0821234567"},
        {"scan rate rounds half to even", {"Scan rate = 10.5"}, 0, 0, 0, 0, 10, "", ""},
        {"scan rate 11.5", {"s=11.5"}, 0, 0, 0, 0, 12, "", ""},
        {"port 0 leaves the port number", {"Coms port = 0", "2nd port = 3"}, 0, 3, 0, 0, 0, "", ""},
        {"text without a key letter ignored", {"; comment", "", "xyz", "Coms port = 4"}, 4, 0, 4, 0, 0, "", ""},
        {"garbage value gives 0", {"Coms port = COM3"}, 0, 0, 0, 0, 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OtterConfig cfg;
        CfgResult r = applyCfgLines(c.lines, folder, cfg);
        EXPECT_EQ(r.status, CfgStatus::Ok) << r.errorText;
        EXPECT_EQ(cfg.firstPort, c.firstPort);
        EXPECT_EQ(cfg.secondPort, c.secondPort);
        EXPECT_EQ(cfg.comPort, c.comPort);
        EXPECT_EQ(cfg.HighSpeed, c.highSpeed);
        EXPECT_EQ(cfg.ScanRate, c.scanRate);
        EXPECT_EQ(cfg.PinCode, c.pin);
        EXPECT_EQ(cfg.TelNumber, c.tel);
    }
}

TEST(OtterConfigLines, KeyLineWithoutEqualsIsAnErrorOtherTextIsNot) {
    const fs::path folder = fs::temp_directory_path();
    struct {
        std::vector<std::string> lines;
        CfgStatus status;
    } cases[] = {
        {{"Coms port 1"}, CfgStatus::BadLine},
        {{"Check the cable first"}, CfgStatus::BadLine},
        {{"tel 0821234567"}, CfgStatus::BadLine},
        {{"Hello there"}, CfgStatus::Ok},
        {{"Coms port = 2", "Pin"}, CfgStatus::BadLine},
    };
    for (const auto& c : cases) {
        OtterConfig cfg;
        CfgResult r = applyCfgLines(c.lines, folder, cfg);
        EXPECT_EQ(r.status, c.status) << c.lines.back();
        if (c.status == CfgStatus::BadLine) {
            EXPECT_NE(r.errorText.find(c.lines.back()), std::string::npos);
        }
    }
}

TEST_F(OtterTest, DumpFolderWithOrWithoutSeparatorEndsWithOne) {
    fs::create_directories(dir / "data");
    const std::string expected = (dir / "data").string() + "/";
    for (std::string value : {(dir / "data").string(), (dir / "data").string() + "/", "  " + (dir / "data").string() + "/  "}) {
        OtterConfig cfg;
        ASSERT_EQ(applyCfgLines({"Dump folder =" + value}, dir, cfg).status, CfgStatus::Ok) << value;
        EXPECT_EQ(cfg.DumpFolder.string(), expected) << value;
    }
    OtterConfig cfg;
    ASSERT_EQ(applyCfgLines({"Dump folder ="}, dir, cfg).status, CfgStatus::Ok);
    EXPECT_EQ(cfg.DumpFolder.string(), dir.string() + "/");

    CfgResult r = applyCfgLines({"Dump folder = " + (dir / "missing").string()}, dir, cfg);
    EXPECT_EQ(r.status, CfgStatus::BadFolder);
    EXPECT_EQ(r.errorText, (dir / "missing").string());
}

// A missing file is created byte-exact after the "Setup File" message, and
// the scan goes on with its defaults (port 1; here nothing is there).
TEST_F(OtterTest, FreshConfigurationFileIsCreatedAndUsed) {
    port.failOpen(1, "No such file or directory");
    OtterApp app(platform, dir);
    app.IniComms();

    ASSERT_GE(screen.boxes.size(), 2u);
    EXPECT_EQ(screen.boxes[0].title, "Setup File");
    EXPECT_EQ(screen.boxes[0].text,
              "Please refere to the setup file to change the serial port or other settings.\r\r" + dir.string() +
                  "/Otter.cfg");
    EXPECT_EQ(readFile(dir / "Otter.cfg"),
              "Coms port = 1    (enter serial port number here, default 1)\r\n"
              "Baud rate = 9600 (options are 0/9600/56000, default is 9600)\r\n"
              "Scan rate = 0    (to stay memory resident enter the number of seconds between checking for logger)\r\n"
              "Dump folder =\r\n"
              "2nd port = 0     (enter serial port number for cell modem)\r\n"
              "Pin code =       (if using cell modem and cell pin is not disabled, enter the cell pin number)\r\n"
              "Tel number =     (if using cell modem, enter the tel number of the modem to be dialed)\r\n");
    EXPECT_EQ(app.firstPort(), 1);
    EXPECT_EQ(app.secondPort(), 0);
    EXPECT_EQ(app.HighSpeed(), 0);
    EXPECT_EQ(app.ScanRate(), 0);
    EXPECT_EQ(app.DumpFolder().string(), dir.string() + "/");
    EXPECT_EQ(app.PinCode, "");
    EXPECT_EQ(app.TelNumber, "");
    // The port that could not be opened takes the error path.
    EXPECT_EQ(screen.boxes[1].title, "ERROR");
    EXPECT_EQ(screen.boxes[1].text, "ERROR, Cannot open serial port 1: No such file or directory");
    EXPECT_EQ(screen.leds.back(), "0R");
    EXPECT_FALSE(app.programEnded());

    // The next scan reads the file it made and asks nothing more about it.
    screen.boxes.clear();
    app.IniComms();
    EXPECT_TRUE(boxesTitled("Setup File").empty());
}

TEST_F(OtterTest, BadConfigurationLineTakesThePortErrorPath) {
    writeCfg({"Coms port = 3", "Check this line"});
    OtterApp app(platform, dir);
    app.IniComms();
    ASSERT_EQ(screen.boxes.size(), 1u);
    EXPECT_EQ(screen.boxes[0].title, "ERROR");
    EXPECT_EQ(screen.boxes[0].text, "ERROR, Cannot open serial port 3: Invalid line in Otter.cfg: Check this line");
    EXPECT_EQ(port.openCount, 0);
    EXPECT_FALSE(app.programEnded());
}

TEST_F(OtterTest, MissingDumpFolderEndsTheProgram) {
    writeCfg({"Coms port = 1", "Dump folder = " + (dir / "nowhere").string() + "/"});
    OtterApp app(platform, dir);
    limitRun(60'000);
    EXPECT_EQ(app.run(), 1);
    ASSERT_EQ(screen.boxes.size(), 1u);
    EXPECT_EQ(screen.boxes[0].title, "ERROR");
    EXPECT_EQ(screen.boxes[0].text, "Invalid data dump folder specified.\r\r" + (dir / "nowhere").string());
    EXPECT_EQ(port.openCount, 0);
}

// Settings are read afresh at every scan: values absent from the file fall
// back, those present change with it.
TEST_F(OtterTest, ConfigurationIsReadAgainAtEveryScan) {
    port.failOpen(1, "busy");
    port.failOpen(2, "busy");
    writeCfg({"Coms port = 1", "Baud rate = 56000", "Pin code = 1234", "Tel number = 555"});
    OtterApp app(platform, dir);
    app.IniComms();
    EXPECT_EQ(app.HighSpeed(), 1);
    EXPECT_EQ(app.PinCode, "1234");
    writeCfg({"Coms port = 2"});
    app.IniComms();
    EXPECT_EQ(app.HighSpeed(), 0);
    EXPECT_EQ(app.PinCode, "");
    EXPECT_EQ(app.TelNumber, "");
    EXPECT_EQ(app.comPort(), 2);
    EXPECT_EQ(screen.boxes.back().text, "ERROR, Cannot open serial port 2: busy");
}

}  // namespace
}  // namespace kvr::otter_test
