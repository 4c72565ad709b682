// The run against the simulated probe server and logger: both download
// methods give the same rows, a bulk stream with holes is back-filled, and
// a device is cleared only when every reading reached the files.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sim/devices/logger.h"
#include "sim/devices/probe_server.h"
#include "tests/marten/run_fixture.h"

namespace kvr::testing {
namespace {

std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ServerRun {
    std::string data, dump;
    int status;
    nlohmann::json state;
    std::vector<std::string> titles;
};

class SimRun : public RunFixture {
protected:
    ServerRun runServer(std::vector<std::string> args, int speed) {
        args.insert(args.end(), {"--now", "2012-03-04 12:00", "--seed", "7"});
        sim::ProbeServer server(sim::parseProbeServerOptions(args));
        port.attach(3, &server);
        storePort(3);
        run->optSpeed = speed;
        ServerRun r;
        r.status = run->tmr_Timer();
        r.data = slurp(dataFile());
        r.dump = slurp(dump0());
        r.state = server.state();
        for (auto& b : screen.boxes) r.titles.push_back(b.title);
        port.detach(3);
        return r;
    }
};

int clears(const nlohmann::json& state) {
    for (const char* k : {"clears", "clear_count", "cleared"})
        if (state.contains(k)) return state[k].is_boolean() ? (state[k].get<bool>() ? 1 : 0) : state[k].get<int>();
    return -1;
}

class OneRun : public SimRun {
public:
    void TestBody() override {}
    void up() { SetUp(); }
    void down() { TearDown(); }
    using SimRun::runServer;
};

ServerRun oneRun(const std::vector<std::string>& args, int speed) {
    OneRun f;
    f.up();
    ServerRun r = f.runServer(args, speed);
    f.down();
    return r;
}

// (Lo and Hi giving the same rows, and back-filled holes, are checked end to
// end over pseudo-terminals.)
TEST(MartenBulk, StreamCutWithTheLinkGoneIsNotCleared) {
    const ServerRun hi = oneRun({"--count", "30", "--cut-after", "10", "--silent-after", "1"}, 1);
    EXPECT_EQ(hi.status, 1);
    EXPECT_EQ(clears(hi.state), 0) << hi.state.dump();
    EXPECT_NE(std::find(hi.titles.begin(), hi.titles.end(), "NO COMMS"), hi.titles.end());
}

// --- logger ---

// Passes everything to a logger but, after `answeredBlocks` block requests
// (command 0), leaves block requests unanswered: a download that fails part
// way while the other commands still work.
class BlockCutter : public sim::SimDevice {
public:
    BlockCutter(sim::Logger& inner, int answeredBlocks) : inner_(inner), left_(answeredBlocks) {}
    void receive(ByteSpan data, sim::SimOutput& out) override {
        for (std::uint8_t b : data) {
            if (pos_ == 0 && b != 0x5E) continue;
            ++pos_;
            if (pos_ == 7) cmd_ = b;
            if (pos_ >= 5 && b == 0x5F) pos_ = 0;
        }
        sim::SimOutput mine;
        inner_.receive(data, mine);
        if (!mine.chunks.empty() && cmd_ == 0) {
            if (left_ <= 0) return;
            --left_;
        }
        for (auto& c : mine.chunks) out.chunks.push_back(c);
    }
    void lineSettingsChanged(const std::string& s) override { inner_.lineSettingsChanged(s); }
    nlohmann::json state() const override { return inner_.state(); }

private:
    sim::Logger& inner_;
    int left_;
    int pos_ = 0;
    int cmd_ = -1;
};

struct LoggerCase {
    const char* name;
    int speed;
    int answeredBlocks;  // -1: all
    int status;
    bool cleared;
    int flipAfterYields = -1;  // the user flips the speed option mid-download
};

class LoggerRunTest : public RunFixture, public ::testing::WithParamInterface<LoggerCase> {};

TEST_P(LoggerRunTest, DownloadsAndClearsOnlyWhenComplete) {
    const LoggerCase& c = GetParam();
    sim::Logger logger(sim::parseLoggerOptions({"--readings", "12", "--now", "2012-03-04 12:00"}));
    BlockCutter cutter(logger, c.answeredBlocks < 0 ? 1'000'000 : c.answeredBlocks);
    port.attach(3, &cutter);
    storePort(3);
    run->optSpeed = c.speed;
    int yields = 0;
    screen.onYield = [&] {
        if (++yields == c.flipAfterYields) run->optSpeed = 1 - c.speed;
    };

    EXPECT_EQ(run->tmr_Timer(), c.status);
    EXPECT_TRUE(run->LoggerMode);
    EXPECT_EQ(logger.baud(), 9600) << "the logger is back at the standing speed";
    const auto st = logger.state();
    const auto& cl = st["clears"];
    EXPECT_EQ(!cl.empty(), c.cleared) << st.dump();
    if (c.cleared) {
        EXPECT_GT(lines(dataFile()).size(), 1u);
    }
    EXPECT_EQ(box("NO COMMS") != nullptr, !c.cleared);
    EXPECT_EQ(port.settings(), "9600,n,8,1") << "the port is back at the standing speed";
}

TEST_F(RunFixture, HugeLoggerReloadEnds) {
    sim::Logger logger(sim::parseLoggerOptions({"--readings", "0", "--now", "2012-03-04 12:00"}));
    port.attach(3, &logger);
    storePort(3);
    screen.answer("No Readings", "100000");
    EXPECT_EQ(run->tmr_Timer(), 0);
    EXPECT_EQ(screen.events.back(), "Server readings cleared");
    EXPECT_NE(std::find(screen.events.begin(), screen.events.end(), "Loading reading 32704/100000"),
              screen.events.end());
}

INSTANTIATE_TEST_SUITE_P(Marten, LoggerRunTest,
                         ::testing::Values(LoggerCase{"lo", 0, -1, 0, true}, LoggerCase{"hi", 1, -1, 0, true},
                                           LoggerCase{"hi_cut", 1, 2, 1, false},
                                           LoggerCase{"lo_cut", 0, 2, 1, false},
                                           LoggerCase{"hi_flipped_to_lo", 1, -1, 0, true, 40}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvr::testing
