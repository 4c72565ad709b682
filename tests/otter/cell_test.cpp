#include <gtest/gtest.h>

#include "sim/devices/modem.h"
#include "tests/otter/otter_fixture.h"

namespace kvr::otter_test {
namespace {

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class CellTest : public OtterTest {
protected:
    void openModemPort() {
        port.attach(1, &modem);
        std::string err;
        ASSERT_TRUE(port.open(1, err));
    }
    ScriptedModem modem;
};

TEST_F(CellTest, ResponseWaitsForItsTextsAndCleansZeros) {
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string cmd, reply, resp0, resp1;
        std::int16_t tmr;
        bool result;
        std::string cellText;
        std::int64_t maxMs;  // the wait ends early when an answer text came
    } cases[] = {
        {"plain OK", "AT", "\r\nOK\r\n", "OK", "", 0, true, "\r\nOK\r\n", 1'200},
        {"zeros around the answer", "AT", "\0\0OK\0\r\n"s, "OK", "", 0, true, "OK\r\n", 1'200},
        {"zero inside the word does not match", "AT", "O\0K\r\n"s, "OK", "", 0, false, "OK\r\n", 2'100},
        {"silence", "AT+CREG?", "", "OK", "", 0, false, "", 2'100},
        {"no carrier ends a long wait", "ATD5", "\r\nNO CARRIER\r\n", "CONNECT", "NO", 30, false, "\r\nNO CARRIER\r\n",
         1'200},
        {"connect", "ATD5", "\r\nCONNECT 9600\r\n", "CONNECT", "NO", 30, true, "\r\nCONNECT 9600\r\n", 1'200},
        {"case matters", "AT", "\r\nok\r\n", "OK", "", 0, false, "\r\nok\r\n", 2'100},
        {"silent dial waits its full limit", "ATD9", "", "CONNECT", "NO", 30, false, "", 32'100},
    };
    openModemPort();
    OtterApp app(platform, dir);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        modem.replies[c.cmd] = {c.reply};
        port.writes.clear();
        // Something left over from before the command must not count.
        port.inject(Bytes{'O', 'K'});
        const std::int64_t t0 = clock.monotonicMs();
        EXPECT_EQ(app.Cell_Response(c.cmd, c.resp0, c.resp1, "", c.tmr), c.result);
        EXPECT_EQ(app.CellText, c.cellText);
        EXPECT_LE(clock.monotonicMs() - t0, c.maxMs);
        EXPECT_GE(clock.monotonicMs() - t0, 1'000);  // the settling second
        EXPECT_FALSE(app.CollectText);
        ASSERT_EQ(port.writes.size(), 1u);
        EXPECT_EQ(text(port.writes[0]), c.cmd + "\r\n");
    }
}

TEST_F(CellTest, RegistrationDialogue) {
    const std::string ok = "\r\nOK\r\n";
    struct Case {
        const char* name;
        std::string pinCfg;
        std::map<std::string, std::vector<std::string>> replies;
        bool result;
        std::vector<std::string> lines;
        const char* lastEvent;
        const char* box;  // message box text, "" for none
        float cellWait;
    } cases[] = {
        {"no PIN needed",
         "",
         {{"AT+CREG?", {"\r\n+CREG: 0,1\r\n" + ok}}, {"AT+CPIN?", {"\r\n+CPIN: READY\r\n" + ok}},
          {"ATD555", {"\r\nCONNECT 9600\r\n"}}},
         true,
         {"AT+CREG?", "AT+CPIN?", "ATD555"},
         "Dialup connection established.",
         "",
         6},
        {"PIN given",
         "1234",
         {{"AT+CREG?", {ok}}, {"AT+CPIN?", {"\r\n+CPIN: SIM PIN\r\n" + ok}}, {"AT+CPIN=1234", {ok}},
          {"ATD555", {"\r\nCONNECT\r\n"}}},
         true,
         {"AT+CREG?", "AT+CPIN?", "AT+CPIN=1234", "ATD555"},
         "Dialup connection established.",
         "",
         6},
        {"PIN needed, none usable",
         "",
         {{"AT+CREG?", {ok}}, {"AT+CPIN?", {"\r\n+CPIN: SIM PIN\r\n" + ok}}},
         false,
         {"AT+CREG?", "AT+CPIN?"},
         "Invalid pin code !",
         "Invalid pin code !",
         0},
        {"PIN refused",
         "9999",
         {{"AT+CREG?", {ok}}, {"AT+CPIN?", {"\r\n+CPIN: SIM PIN\r\n" + ok}}, {"AT+CPIN=9999", {"\r\nERROR\r\n"}}},
         false,
         {"AT+CREG?", "AT+CPIN?", "AT+CPIN=9999"},
         "Invalid pin code !",
         "Invalid pin code !",
         0},
        {"no network",
         "",
         {},
         false,
         {"AT+CREG?"},
         "Cell cannot detect network ...",
         "",
         0},
        {"no carrier",
         "",
         {{"AT+CREG?", {ok}}, {"AT+CPIN?", {"\r\n+CPIN: READY\r\n" + ok}}, {"ATD555", {"\r\nNO CARRIER\r\n"}}},
         false,
         {"AT+CREG?", "AT+CPIN?", "ATD555"},
         "Cannot establish dialup connection.",
         "Cannot establish dialup connection.\r\nNO CARRIER\r\n",
         6},
        {"busy",
         "",
         {{"AT+CREG?", {ok}}, {"AT+CPIN?", {"READY"}}, {"ATD555", {"\r\nBUSY\r\n"}}},
         false,
         {"AT+CREG?", "AT+CPIN?", "ATD555"},
         "Cannot establish dialup connection.",
         "Cannot establish dialup connection.\r\nBUSY\r\n",
         6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedModem m;
        m.replies = c.replies;
        port.close();
        port.attach(1, &m);
        std::string err;
        ASSERT_TRUE(port.open(1, err));
        screen.boxes.clear();
        screen.events.clear();
        OtterApp app(platform, dir);
        app.PinCode = c.pinCfg;
        app.TelNumber = "555";
        EXPECT_EQ(app.Cell_Registered(), c.result);
        EXPECT_EQ(m.lines, c.lines);
        EXPECT_EQ(app.CellConnected(), c.result);
        EXPECT_EQ(app.CellWait(), c.cellWait);
        ASSERT_FALSE(screen.events.empty());
        EXPECT_EQ(screen.events.back(), c.lastEvent);
        if (std::string(c.box).empty()) {
            EXPECT_TRUE(screen.boxes.empty());
        } else {
            ASSERT_EQ(screen.boxes.size(), 1u);
            EXPECT_EQ(screen.boxes[0].title, "ERROR");
            EXPECT_EQ(screen.boxes[0].text, c.box);
        }
    }
}

TEST_F(CellTest, HangUpTriesAtMostTenTimesEach) {
    struct Case {
        const char* name;
        std::string escapeReply, hangupReply;
        int escapes, hangups;
        bool stillConnected;
        const char* lastEvent;
    } cases[] = {
        {"first try", "\r\nOK\r\n", "\r\nOK\r\n", 1, 1, false, "Cell disconnected."},
        {"escape never answered", "", "\r\nOK\r\n", 10, 1, false, "Cell disconnected."},
        {"hang-up refused", "\r\nOK\r\n", "\r\nERROR\r\n", 1, 10, true, "Cannot disconnected !!!!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedModem m;
        m.replies["+++"] = {c.escapeReply};
        m.replies["ATH"] = {c.hangupReply};
        port.close();
        port.attach(1, &m);
        std::string err;
        ASSERT_TRUE(port.open(1, err));
        port.writes.clear();
        OtterApp app(platform, dir);
        app.CellConnected() = true;
        app.Cell_Disconnect();
        EXPECT_EQ(std::count(m.lines.begin(), m.lines.end(), "+++"), c.escapes);
        EXPECT_EQ(std::count(m.lines.begin(), m.lines.end(), "ATH"), c.hangups);
        EXPECT_EQ(m.lines.size(), static_cast<std::size_t>(c.escapes + c.hangups));
        EXPECT_EQ(app.CellConnected(), c.stillConnected);
        EXPECT_TRUE(eventShown(c.lastEvent));
        EXPECT_EQ(app.exitStatus(), c.stillConnected ? 1 : 0);
        for (const auto& w : port.writes) {
            std::string t = text(w);
            EXPECT_TRUE(t == "+++" || t == "ATH\r\n") << t;
        }
    }
}

// ---- a whole run through the simulated modem on the second port ----

struct ModemRun {
    sim::Logger* logger;
    std::unique_ptr<sim::Modem> modem;
};

// The status frame comes back as the modem's echo, which tells the scan that
// a modem, not a logger, is on the port.
ModemRun makeModem(std::unique_ptr<sim::Logger> lg, sim::ModemOptions o = {}) {
    sim::Logger* raw = lg.get();
    o.echo = true;
    return {raw, std::make_unique<sim::Modem>(o, std::move(lg))};
}

TEST_F(CellTest, SecondPortModemReachesTheLoggerAndHangsUp) {
    auto run = makeModem(logger(sim::LoggerOptions::Type::Extended));
    port.attach(1, nullptr);
    port.attach(2, run.modem.get());
    cfg(0, 2, "56000", "Tel number = 0821234567 (logger)", "Pin code =");
    screen.answer("SET DATE", "Yes");
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 1);  // the first port had nothing
    EXPECT_EQ(readFile(dataFile()), std::string(kDataHeader) + "\r\n" + expected(*run.logger));
    EXPECT_EQ(clears(*run.logger), 1u);
    EXPECT_TRUE(clockSet(*run.logger));
    // The speed is never switched over a call.
    EXPECT_EQ(commandCount(*run.logger, 14), 0);
    auto st = run.modem->state();
    EXPECT_EQ(st["dialled"], "0821234567");
    EXPECT_EQ(st["hung_up"], true);
    EXPECT_EQ(st["connected"], false);
    EXPECT_FALSE(app.CellConnected());
    auto errs = boxesTitled("ERROR");
    ASSERT_EQ(errs.size(), 1u);  // only the empty first port
    EXPECT_TRUE(eventShown("Cell disconnected."));
}

// Hanging up talks to the modem, which clears CommsError: a download that
// broke off over the call must still count as failed.
TEST_F(CellTest, BrokenDownloadOverTheCallStaysFailedAfterHangUp) {
    // Status, time and count over the call, then one block.
    auto run = makeModem(logger(sim::LoggerOptions::Type::Extended, 30, 4));
    port.attach(2, run.modem.get());
    writeCfg({"Coms port = 2", "Dump folder = " + dir.string(), "Tel number = 555"});
    screen.answer("SET DATE", "Yes");
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 1);
    EXPECT_EQ(clears(*run.logger), 0u);
    EXPECT_TRUE(boxesTitled("SET DATE").empty());
    auto errs = boxesTitled("ERROR");
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0].text, "ERROR, Data download not completed - No comms.");
    EXPECT_EQ(run.modem->state()["hung_up"], true);
}

// Closing the window during a download over the call still hangs up.
TEST_F(CellTest, ClosingDuringACallHangsUp) {
    auto run = makeModem(logger(sim::LoggerOptions::Type::Extended, 40));
    port.attach(2, run.modem.get());
    writeCfg({"Coms port = 2", "Dump folder = " + dir.string(), "Tel number = 555"});
    OtterApp app(platform, dir);
    screen.onYield = [&] {
        if (app.CellConnected() && commandCount(*run.logger, 0) >= 2) throw ProgramEnd{};
    };
    EXPECT_EQ(app.run(), 1);
    EXPECT_EQ(clears(*run.logger), 0u);
    EXPECT_EQ(run.modem->state()["hung_up"], true);
    EXPECT_FALSE(port.isOpen());
}

// A modem without echo shows itself by answering the status frame with a
// start byte and one zero; the scan then registers, dials and downloads the
// logger behind the call.
TEST_F(CellTest, ZeroAnswerLeadsToTheCallAndADownload) {
    sim::ModemOptions o;
    o.zeroOnFrame = true;
    sim::Logger* lg = nullptr;
    auto modem = [&] {
        auto l = logger(sim::LoggerOptions::Type::Extended);
        lg = l.get();
        return std::make_unique<sim::Modem>(o, std::move(l));
    }();
    port.attach(2, modem.get());
    writeCfg({"Coms port = 2", "Dump folder = " + dir.string(), "Tel number = 0821234567"});
    screen.answer("SET DATE", "Yes");
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 0);
    auto st = modem->state();
    EXPECT_GE(st["zeros_sent"].get<int>(), 1);
    EXPECT_EQ(st["dialled"], "0821234567");
    EXPECT_EQ(st["hung_up"], true);
    EXPECT_TRUE(eventShown("Dialup connection established."));
    EXPECT_EQ(readFile(dataFile()), std::string(kDataHeader) + "\r\n" + expected(*lg));
    EXPECT_EQ(clears(*lg), 1u);
    EXPECT_TRUE(boxesTitled("ERROR").empty());
    EXPECT_FALSE(app.CellConnected());
}

TEST_F(CellTest, FailedDialIsReportedAsNoComms) {
    sim::ModemOptions o;
    o.dial = sim::ModemOptions::Dial::NoCarrier;
    auto run = makeModem(logger(sim::LoggerOptions::Type::Extended), o);
    port.attach(2, run.modem.get());
    writeCfg({"Coms port = 2", "Dump folder = " + dir.string(), "Tel number = 555"});
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 1);
    auto errs = boxesTitled("ERROR");
    ASSERT_EQ(errs.size(), 2u);
    // The modem echoes the command before its answer; both are shown.
    EXPECT_EQ(errs[0].text, "Cannot establish dialup connection.ATD555\r\n\r\nNO CARRIER\r\n");
    EXPECT_EQ(errs[1].text, "ERROR, Data download not completed - No comms.");
    EXPECT_EQ(run.logger->state()["requests"], 0);
    EXPECT_FALSE(fs::exists(dataFile()));
}

}  // namespace
}  // namespace kvr::otter_test
