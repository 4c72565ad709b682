// Marten through the simulated modem (detection, PIN, dialling outcomes,
// hang-up) and against the simulated logger (both speeds, a download cut
// part-way, a speed change mid-download, a reload past the last block).
#include "sim/devices/logger.h"
#include "sim/devices/modem.h"
#include "tests/marten/rig.h"

namespace kvr::test {
namespace {

struct DialCase {
    const char* name;
    std::vector<std::string> modemArgs;
    std::vector<std::pair<std::string, std::string>> answers;
    bool serverBehind;
    int status;
    std::vector<std::string> titles;  // boxes in order
    const char* pinSent;              // nullptr: no PIN command
};

class DialTest : public MartenTest, public ::testing::WithParamInterface<DialCase> {};

TEST_P(DialTest, DialsDownloadsAndHangsUp) {
    const DialCase& c = GetParam();
    auto srv = std::make_unique<MiniServer>(2);
    MiniServer* server = srv.get();
    sim::Modem modem(sim::parseModemOptions(c.modemArgs), c.serverBehind ? std::move(srv) : nullptr);
    serve(&modem);
    settings.set("NVA5", "Startup", "Cell", "0821112222");
    for (auto& [t, a] : c.answers) screen.answer(t, a);

    EXPECT_EQ(run->tmr_Timer(), c.status);
    EXPECT_EQ(titles(), c.titles);
    const auto st = modem.state();
    EXPECT_EQ(st["pin_used"], c.pinSent ? nlohmann::json(c.pinSent) : nlohmann::json());
    if (c.serverBehind) {
        EXPECT_EQ(server->clears, c.status == 0 ? 1 : 0);
        EXPECT_EQ(server->fetched.size(), c.status == 0 ? 2u : 0u);
    }
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(run->server.ModemOnline, 0);
}

const std::vector<std::pair<std::string, std::string>> kNumber{{"Cell Number", "0821234567"}};

INSTANTIATE_TEST_SUITE_P(
    Marten, DialTest,
    ::testing::Values(
        DialCase{"stored_number_is_default", {}, {}, true, 0, {"Cell Number"}, nullptr},
        DialCase{"answers_ate0_on_third_try", {"--answer-on-try", "3"}, kNumber, true, 0, {"Cell Number"}, nullptr},
        // A fourth try is never made: no modem, the port prompt follows.
        DialCase{"answers_ate0_on_fourth_try", {"--answer-on-try", "4"}, {{"No Comms", "0"}}, true, 1, {"No Comms"},
                 nullptr},
        DialCase{"pin_right", {"--pin", "1234"}, {{"Pin Code", "1234"}, {"Cell Number", "0821234567"}}, true, 0,
                 {"Pin Code", "Cell Number"}, "1234"},
        DialCase{"pin_wrong", {"--pin", "1234"}, {{"Pin Code", "4321"}}, true, 1, {"Pin Code", "ERROR"}, "4321"},
        DialCase{"pin_three_characters_not_sent", {"--pin", "1234"},
                 {{"Pin Code", "123"}, {"Cell Number", "0821234567"}},
                 true, 1, {"Pin Code", "Cell Number", "ERROR"}, nullptr},
        DialCase{"empty_number_ends", {}, {{"Cell Number", ""}}, true, 1, {"Cell Number"}, nullptr},
        DialCase{"silent", {"--dial", "silent"}, kNumber, true, 1, {"Cell Number", "ERROR"}, nullptr},
        DialCase{"no_server_behind", {}, kNumber, false, 1, {"Cell Number", "No Comms"}, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MartenTest, NoCarrierShowsTheModemTextAndHangsUp) {
    sim::Modem modem(sim::parseModemOptions({"--dial", "nocarrier"}), nullptr);
    serve(&modem);
    screen.answer("Cell Number", " 0821234567 ");
    const std::int64_t t0 = clock.monotonicMs();
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(texts("ERROR"), std::vector<std::string>{"Cannot connect to  0821234567 .\r\r\nNO CARRIER\r\n"});
    // Sent as typed, stored trimmed.
    EXPECT_EQ(modem.state()["dialled"], "0821234567");
    EXPECT_EQ(setting("Cell"), "0821234567");
    EXPECT_EQ(modem.state()["commands"].back(), "ATH");
    // The wait ended on the modem's text, not on the 60-second limit.
    EXPECT_LT(clock.monotonicMs() - t0, 30'000);
}

// Passes everything to a logger but, after `answeredBlocks` block requests
// (command 0), leaves block requests unanswered: a download that fails part
// way while the other commands (the speed switch back among them) still work.
class BlockCutter : public sim::SimDevice {
public:
    BlockCutter(sim::Logger& inner, int answeredBlocks) : inner_(inner), left_(answeredBlocks) {}
    void receive(ByteSpan data, sim::SimOutput& out) override {
        for (std::uint8_t b : data)
            if (b == 0x5E || !request_.empty()) request_.push_back(b);
        inner_.receive(data, out);
        if (out.chunks.empty()) return;
        // An answer ends the request; its command is the request's seventh byte.
        if (request_.size() > 6 && request_[6] == 0 && left_-- <= 0) out.chunks.clear();
        request_.clear();
    }
    void lineSettingsChanged(const std::string& s) override { inner_.lineSettingsChanged(s); }
    nlohmann::json state() const override { return inner_.state(); }

private:
    sim::Logger& inner_;
    int left_;
    Bytes request_;
};

struct LoggerCase {
    const char* name;
    int speed;
    int answeredBlocks;        // -1: all
    int flipAfterYields = -1;  // the user flips the speed option mid-download
};

class LoggerRunTest : public MartenTest, public ::testing::WithParamInterface<LoggerCase> {};

TEST_P(LoggerRunTest, ClearedOnlyWhenCompleteAndBackAtTheStandingSpeed) {
    const LoggerCase& c = GetParam();
    sim::Logger logger(sim::parseLoggerOptions({"--readings", "12", "--now", "2012-03-04 12:00"}));
    BlockCutter cutter(logger, c.answeredBlocks < 0 ? 1'000'000 : c.answeredBlocks);
    serve(&cutter);
    run->optSpeed = c.speed;
    int yields = 0;
    screen.onYield = [&] {
        if (++yields == c.flipAfterYields) run->optSpeed = 1 - c.speed;
    };
    const bool complete = c.answeredBlocks < 0;

    EXPECT_EQ(run->tmr_Timer(), complete ? 0 : 1);
    EXPECT_TRUE(run->LoggerMode);
    EXPECT_EQ(logger.state()["clears"].empty(), !complete) << logger.state().dump();
    EXPECT_EQ(lines(dataFile()).size() > 1, complete);
    EXPECT_EQ(texts("NO COMMS").size(), complete ? 0u : 1u);
    EXPECT_EQ(logger.baud(), 9600);
    EXPECT_EQ(port.settings(), "9600,n,8,1");
}

INSTANTIATE_TEST_SUITE_P(Marten, LoggerRunTest,
                         ::testing::Values(LoggerCase{"lo", 0, -1}, LoggerCase{"hi", 1, -1},
                                           LoggerCase{"hi_cut", 1, 2}, LoggerCase{"lo_cut", 0, 2},
                                           LoggerCase{"hi_flipped_to_lo", 1, -1, 40}),
                         [](const auto& info) { return std::string(info.param.name); });

// Blocks past 32767 cannot be addressed: what could be read is written, the
// logger keeps everything, and the run says the download is incomplete.
TEST_F(MartenTest, LoggerReloadPastTheLastBlockIsAFailedDownload) {
    sim::Logger logger(sim::parseLoggerOptions({"--readings", "0", "--now", "2012-03-04 12:00"}));
    serve(&logger);
    screen.answer("No Readings", "100000");
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_FALSE(logger.state()["cleared"]);
    EXPECT_EQ(titles(), (std::vector<std::string>{"No Readings", "NO COMMS"}));
    EXPECT_NE(std::find(screen.events.begin(), screen.events.end(), "Loading reading 32704/100000"),
              screen.events.end());
}

}  // namespace
}  // namespace kvr::test
