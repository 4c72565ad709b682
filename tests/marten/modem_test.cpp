// Dial-up through the simulated modem: detection, PIN, dialling outcomes,
// the run over the call and the hang-up; and the modem simulator itself.
#include <gtest/gtest.h>

#include "server_dump/run_end.h"
#include "sim/devices/modem.h"
#include "tests/marten/mini_server.h"
#include "tests/marten/run_fixture.h"

namespace kvr::testing {
namespace {

std::string asText(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct DialCase {
    const char* name;
    std::vector<std::string> modemArgs;
    std::vector<std::pair<std::string, std::string>> answers;
    bool serverBehind;
    int status;
    std::vector<std::string> titles;  // boxes in order
    const char* pinSent;              // nullptr: no PIN command
    bool downloaded;
};

class DialTest : public RunFixture, public ::testing::WithParamInterface<DialCase> {};

TEST_P(DialTest, DialsAndEnds) {
    const DialCase& c = GetParam();
    auto srv = std::make_unique<MiniServer>();
    MiniServer* server = srv.get();
    server->nextRecord = 0;
    server->endRecord = 2;
    server->numReadings = 2;
    sim::ModemOptions o = sim::parseModemOptions(c.modemArgs);
    sim::Modem modem(o, c.serverBehind ? std::move(srv) : nullptr);
    port.attach(3, &modem);
    storePort(3);
    settings.set("NVA5", "Startup", "Cell", "0821112222");
    for (auto& [t, a] : c.answers) screen.answer(t, a);

    EXPECT_EQ(run->tmr_Timer(), c.status);

    std::vector<std::string> titles;
    for (auto& b : screen.boxes) titles.push_back(b.title);
    EXPECT_EQ(titles, c.titles);
    auto st = modem.state();
    if (c.pinSent)
        EXPECT_EQ(st["pin_used"], c.pinSent);
    else
        EXPECT_TRUE(st["pin_used"].is_null());
    if (c.serverBehind) {
        EXPECT_EQ(server->clears, c.downloaded ? 1 : 0);
        EXPECT_EQ(server->fetched.size(), c.downloaded ? 2u : 0u);
    }
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(run->server.ModemOnline, 0);
}

const std::vector<std::pair<std::string, std::string>> kNumber{{"Cell Number", "0821234567"}};

INSTANTIATE_TEST_SUITE_P(
    Marten, DialTest,
    ::testing::Values(
        DialCase{"connect", {}, kNumber, true, 0, {"Cell Number"}, nullptr, true},
        DialCase{"stored_number_is_default", {}, {}, true, 0, {"Cell Number"}, nullptr, true},
        DialCase{"answers_ate0_on_third_try", {"--answer-on-try", "3"}, kNumber, true, 0, {"Cell Number"}, nullptr,
                 true},
        // A fourth try is never made: no modem, the port prompt follows.
        DialCase{"answers_ate0_on_fourth_try",
                 {"--answer-on-try", "4"},
                 {{"No Comms", "0"}},
                 true,
                 1,
                 {"No Comms"},
                 nullptr,
                 false},
        DialCase{"pin_right",
                 {"--pin", "1234"},
                 {{"Pin Code", "1234"}, {"Cell Number", "0821234567"}},
                 true,
                 0,
                 {"Pin Code", "Cell Number"},
                 "1234",
                 true},
        DialCase{"pin_wrong",
                 {"--pin", "1234"},
                 {{"Pin Code", "4321"}},
                 true,
                 1,
                 {"Pin Code", "ERROR"},
                 "4321",
                 false},
        DialCase{"pin_three_characters_not_sent",
                 {"--pin", "1234"},
                 {{"Pin Code", "123"}, {"Cell Number", "0821234567"}},
                 true,
                 1,
                 {"Pin Code", "Cell Number", "ERROR"},
                 nullptr,
                 false},
        DialCase{"empty_number_ends", {}, {{"Cell Number", ""}}, true, 1, {"Cell Number"}, nullptr, false},
        DialCase{"no_carrier", {"--dial", "nocarrier"}, kNumber, true, 1, {"Cell Number", "ERROR"}, nullptr, false},
        DialCase{"busy", {"--dial", "busy"}, kNumber, true, 1, {"Cell Number", "ERROR"}, nullptr, false},
        DialCase{"silent", {"--dial", "silent"}, kNumber, true, 1, {"Cell Number", "ERROR"}, nullptr, false},
        DialCase{"no_server_behind", {}, kNumber, false, 1, {"Cell Number", "No Comms"}, nullptr, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunFixture, NoCarrierMessageShowsTheModemTextBelowTheNumber) {
    sim::ModemOptions o = sim::parseModemOptions({"--dial", "nocarrier"});
    sim::Modem modem(o, nullptr);
    port.attach(3, &modem);
    storePort(3);
    screen.answer("Cell Number", " 0821234567 ");
    EXPECT_EQ(run->tmr_Timer(), 1);
    ASSERT_NE(box("ERROR"), nullptr);
    EXPECT_EQ(box("ERROR")->text, "Cannot connect to  0821234567 .\r\r\nNO CARRIER\r\n");
    // Sent as typed, stored trimmed.
    EXPECT_EQ(modem.state()["dialled"], "0821234567");
    EXPECT_EQ(setting("Cell"), "0821234567");
    // After the failed dial the modem is told to hang up.
    auto cmds = modem.state()["commands"];
    EXPECT_EQ(cmds.back(), "ATH");
    // The wait ended on the modem's text, not on the 60-second limit.
    EXPECT_LT(clock.monotonicMs() - 1'000'000, 30'000);
}

TEST_F(RunFixture, CommandsAreCarriageReturnTerminatedExceptTheEscape) {
    auto srv = std::make_unique<MiniServer>();
    srv->endRecord = 1;
    srv->numReadings = 1;
    sim::Modem modem(sim::ModemOptions{}, std::move(srv));
    port.attach(3, &modem);
    storePort(3);
    screen.answer("Cell Number", "0821234567");
    ASSERT_EQ(run->tmr_Timer(), 0);

    std::vector<std::string> texts;
    for (auto& w : port.writes)
        if (!w.empty() && (w[0] == 'A' || w[0] == '+')) texts.push_back(asText(w));
    EXPECT_EQ(texts, (std::vector<std::string>{"ATE0\r", "AT+CPIN?\r", "ATD0821234567\r", "+++", "ATH\r"}));
    EXPECT_TRUE(modem.state()["hung_up"].get<bool>());
    const std::vector<std::string> want{"Disconnecting modem ...", "Modem disconnected ..."};
    auto it = std::search(screen.events.begin(), screen.events.end(), want.begin(), want.end());
    EXPECT_NE(it, screen.events.end());
}

// --- the simulator ---

struct SimCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> writes;
    std::string reply;  // everything the modem sent back, joined
};

class ModemSimTest : public ::testing::TestWithParam<SimCase> {};

TEST_P(ModemSimTest, Answers) {
    sim::Modem m(sim::parseModemOptions(GetParam().args), nullptr);
    std::string all;
    for (auto& w : GetParam().writes) {
        sim::SimOutput out;
        Bytes b(w.begin(), w.end());
        m.receive(b, out);
        for (auto& c : out.chunks) all += asText(c.bytes);
    }
    EXPECT_EQ(all, GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Marten, ModemSimTest,
    ::testing::Values(
        SimCase{"ate0", {}, {"ATE0\r"}, "\r\nOK\r\n"},
        SimCase{"crlf_lines", {}, {"AT+CREG?\r\n", "AT+CPIN?\r\n"},
                "\r\n+CREG: 0,1\r\n\r\nOK\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        SimCase{"locked_sim", {"--pin", "1234"}, {"AT+CPIN?\r"}, "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"},
        SimCase{"pin_quoted_and_bare",
                {"--pin", "1234"},
                {"AT+CPIN=\"1111\"\r", "AT+CPIN=1234\r", "AT+CPIN?\r"},
                "\r\nERROR\r\n\r\nOK\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        SimCase{"binary_then_command", {}, {std::string("\x5E\xFF\x03\x00\x10\r\x84", 7), "ATE0\r"}, "\r\nOK\r\n"},
        SimCase{"data_mode_and_escape", {}, {"ATD5\r", "hello", "+++", "ATH\r"},
                "\r\nCONNECT 9600\r\n\r\nOK\r\n\r\nOK\r\n"},
        SimCase{"plus_inside_data_is_data", {}, {"ATD5\r", "a+++", "ATH\r"}, "\r\nCONNECT 9600\r\n"},
        SimCase{"echo_until_ate0", {"--echo"}, {"AT\r", "ATE0\r", "AT\r"}, "AT\r\r\nOK\r\nATE0\r\r\nOK\r\n\r\nOK\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModemSim, ZeroOnLoggerFrameOnlyWhenAsked) {
    // A logger status request, one byte per write as the logger link sends it.
    const Bytes frame{0x5E, 0xFF, 0xFF, 0xFF, 0x0E, 0x00, 0x09, 0, 0, 0, 0, 0x04, 0x0C, 0x5F, 0, 0, 0};
    for (bool zero : {false, true}) {
        sim::ModemOptions o;
        o.zeroOnFrame = zero;
        sim::Modem m(o, nullptr);
        Bytes got;
        for (auto b : frame) {
            sim::SimOutput out;
            m.receive(Bytes{b}, out);
            for (auto& c : out.chunks) got.insert(got.end(), c.bytes.begin(), c.bytes.end());
        }
        EXPECT_EQ(got, zero ? (Bytes{0x5E, 0x00}) : Bytes{});
    }
}

TEST(ModemSim, BadOptionsAreRefused) {
    for (std::vector<std::string> a : {std::vector<std::string>{"--dial", "maybe"}, {"--answer-on-try", "0"},
                                       {"--answer-on-try", "x"}, {"--pin"}, {"--what"}})
        EXPECT_THROW(sim::parseModemOptions(a), std::invalid_argument);
    auto o = sim::parseModemOptions({"--behind", "server", "--", "--records", "5"});
    EXPECT_EQ(o.behindKind, "server");
    EXPECT_EQ(o.behindArgs, (std::vector<std::string>{"--records", "5"}));
}

}  // namespace
}  // namespace kvr::testing
