// Otter's cellular modem: the answer wait, the registration dialogue, the
// bounded hang-up, and whole runs over a call to the simulated modem.
#include "sim/devices/modem.h"
#include "tests/otter/rig.h"

namespace kvr::test {
namespace {

class CellTest : public OtterTest {
protected:
    void openOn(ScriptedModem& m) {
        port.close();
        port.attach(1, &m);
        std::string err;
        ASSERT_TRUE(port.open(1, err));
        port.writes.clear();
        screen.boxes.clear();
        screen.events.clear();
    }
};

TEST_F(CellTest, ResponseWaitsForItsTextsAndCleansZeros) {
    using namespace std::string_literals;
    const struct {
        const char* name;
        std::string cmd, reply, resp0, resp1;
        std::int16_t tmr;
        bool result;
        std::string cellText;
        std::int64_t maxMs;  // the wait ends early when an answer text came
    } cases[] = {
        {"zeros around the answer", "AT", "\0\0OK\0\r\n"s, "OK", "", 0, true, "OK\r\n", 1'200},
        {"zero inside the word does not match", "AT", "O\0K\r\n"s, "OK", "", 0, false, "OK\r\n", 2'100},
        {"silence", "AT+CREG?", "", "OK", "", 0, false, "", 2'100},
        {"no carrier ends a long wait", "ATD5", "\r\nNO CARRIER\r\n", "CONNECT", "NO", 30, false, "\r\nNO CARRIER\r\n",
         1'200},
        {"connect", "ATD5", "\r\nCONNECT 9600\r\n", "CONNECT", "NO", 30, true, "\r\nCONNECT 9600\r\n", 1'200},
        {"case matters", "AT", "\r\nok\r\n", "OK", "", 0, false, "\r\nok\r\n", 2'100},
        {"silent dial waits its full limit", "ATD9", "", "CONNECT", "NO", 30, false, "", 32'100},
    };
    ScriptedModem modem;
    openOn(modem);
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
        const std::string line = c.cmd + "\r\n";
        EXPECT_EQ(port.writes, std::vector<Bytes>{Bytes(line.begin(), line.end())});
    }
}

TEST_F(CellTest, RegistrationDialogue) {
    const std::string ok = "\r\nOK\r\n", ready = "\r\n+CPIN: READY\r\n" + ok, locked = "\r\n+CPIN: SIM PIN\r\n" + ok;
    const std::string established = "Dialup connection established.", badPin = "Invalid pin code !",
                      noDial = "Cannot establish dialup connection.";
    const struct {
        const char* name;
        std::string pinCfg;
        std::map<std::string, std::vector<std::string>> replies;
        std::vector<std::string> lines;  // what the modem was sent
        std::string lastEvent;
        std::string box;  // text of the ERROR box, "" for none
    } cases[] = {
        {"no PIN needed", "", {{"AT+CREG?", {"\r\n+CREG: 0,1\r\n" + ok}}, {"AT+CPIN?", {ready}},
          {"ATD555", {"\r\nCONNECT 9600\r\n"}}}, {"AT+CREG?", "AT+CPIN?", "ATD555"}, established, ""},
        {"PIN given", "1234", {{"AT+CREG?", {ok}}, {"AT+CPIN?", {locked}}, {"AT+CPIN=1234", {ok}},
          {"ATD555", {"\r\nCONNECT\r\n"}}}, {"AT+CREG?", "AT+CPIN?", "AT+CPIN=1234", "ATD555"}, established, ""},
        {"PIN needed, none usable", "", {{"AT+CREG?", {ok}}, {"AT+CPIN?", {locked}}}, {"AT+CREG?", "AT+CPIN?"},
         badPin, badPin},
        {"PIN refused", "9999", {{"AT+CREG?", {ok}}, {"AT+CPIN?", {locked}}, {"AT+CPIN=9999", {"\r\nERROR\r\n"}}},
         {"AT+CREG?", "AT+CPIN?", "AT+CPIN=9999"}, badPin, badPin},
        {"no network", "", {}, {"AT+CREG?"}, "Cell cannot detect network ...", ""},
        {"busy after a bare READY", "", {{"AT+CREG?", {ok}}, {"AT+CPIN?", {"READY"}}, {"ATD555", {"\r\nBUSY\r\n"}}},
         {"AT+CREG?", "AT+CPIN?", "ATD555"}, noDial, noDial + "\r\nBUSY\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedModem m;
        m.replies = c.replies;
        openOn(m);
        OtterApp app(platform, dir);
        app.PinCode = c.pinCfg;
        app.TelNumber = "555";
        const bool connected = c.lastEvent == established;
        EXPECT_EQ(app.Cell_Registered(), connected);
        EXPECT_EQ(m.lines, c.lines);
        EXPECT_EQ(app.CellConnected(), connected);
        // Once a number was dialled the logger exchanges get longer waits and more attempts.
        EXPECT_EQ(app.CellWait(), c.lines.back() == "ATD555" ? 6 : 0);
        ASSERT_FALSE(screen.events.empty());
        EXPECT_EQ(screen.events.back(), c.lastEvent);
        EXPECT_EQ(texts("ERROR"), c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
        EXPECT_EQ(screen.boxes.size(), c.box.empty() ? 0u : 1u);
    }
}

TEST_F(CellTest, HangUpTriesAtMostTenTimesEach) {
    const struct {
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
        openOn(m);
        OtterApp app(platform, dir);
        app.CellConnected() = true;
        EXPECT_EQ(app.Cell_Disconnect(), !c.stillConnected);
        std::vector<std::string> sent, want(c.escapes, "+++");  // the escape alone in its write
        want.insert(want.end(), c.hangups, "ATH\r\n");
        for (const auto& w : port.writes) sent.emplace_back(w.begin(), w.end());
        EXPECT_EQ(sent, want);
        EXPECT_EQ(app.CellConnected(), c.stillConnected);
        EXPECT_NE(std::find(screen.events.begin(), screen.events.end(), c.lastEvent), screen.events.end());
    }
}

// Whole runs through the simulated modem, alone on the configured port. A
// modem without echo shows itself by answering the status frame with a start
// byte and one zero; the scan then registers, dials and downloads the logger
// behind the call. A call that fails, a download that breaks off over it or a
// window closed during it is a failed run even though the hang-up afterwards
// talks to the modem successfully; a call that was made is always hung up.
TEST_F(CellTest, RunsOverACall) {
    using Dial = sim::ModemOptions::Dial;
    const struct {
        const char* name;
        bool echo;
        Dial dial;
        std::optional<int> silentAfter;
        int closeAtBlock;  // the window is closed when this block was asked for; 0: never
        std::vector<std::string> errors;
    } cases[] = {
        {"zero answer, then the call and a download", false, Dial::Connect, {}, 0, {}},
        // The modem echoes the command before its answer; both are shown.
        {"no carrier", true, Dial::NoCarrier, {}, 0,
         {"Cannot establish dialup connection.ATD555\r\n\r\nNO CARRIER\r\n", kNoComms}},
        // status, time and count over the call, then one block
        {"broken download", true, Dial::Connect, 4, 0, {kNoComms}},
        {"window closed", true, Dial::Connect, {}, 2, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        screen.boxes.clear();
        sim::ModemOptions o;
        o.echo = c.echo;
        o.zeroOnFrame = !c.echo;
        o.dial = c.dial;
        auto owned = logger(Type::Extended, 40, c.silentAfter);
        const sim::Logger& lg = *owned;
        sim::Modem modem(o, std::move(owned));
        port.attach(2, &modem);
        writeCfg({"Coms port = 2", "Dump folder = " + dir.string(), "Tel number = 555"});
        screen.answer("SET DATE", "Yes");
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        if (c.closeAtBlock) {
            screen.onYield = [&] {
                if (app.CellConnected() && commandCount(lg, 0) >= c.closeAtBlock) throw ProgramEnd{};
            };
        }
        const bool ok = c.errors.empty() && !c.closeAtBlock;
        EXPECT_EQ(app.run(), ok ? 0 : 1);
        EXPECT_EQ(texts("ERROR"), c.errors);
        EXPECT_EQ(clears(lg), ok ? 1u : 0u);
        EXPECT_EQ(texts("SET DATE").size(), ok ? 1u : 0u);
        if (ok) {
            EXPECT_GE(modem.state()["zeros_sent"].get<int>(), 1) << "the zero answer was not exercised";
            EXPECT_EQ(readFile(dataFile()), expected({&lg}));
        }
        if (c.dial == Dial::Connect) {
            EXPECT_EQ(modem.state()["dialled"], "555");
            EXPECT_EQ(modem.state()["hung_up"], true);
        }
        EXPECT_EQ(commandCount(lg, 14), 0) << "the speed is never switched over a call";
        EXPECT_FALSE(app.CellConnected());
        EXPECT_FALSE(port.isOpen());
        port.detach(2);
    }
}

}  // namespace
}  // namespace kvr::test
