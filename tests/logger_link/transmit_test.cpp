// The exchange: attempts, tries, waits, lamps and modem-control lines.
#include "tests/logger_link/rig.h"

namespace kvr::test {
namespace {

Bytes ack() { return answer({9, 255, 12, 3, 4}); }

TEST(LoggerTransmit, AttemptsAndTries) {
    struct RetryCase {
        const char* name;
        LoggerVariant variant;
        float cellWait;
        bool noRetries;
        std::vector<Bytes> replies;  // per request, the last repeats
        std::size_t frames;
        bool error;
        float timeout = 0;
        std::int64_t ms = -1;  // time taken, when checked: first-byte wait plus the collect limit per attempt
    };
    // A try ends with its first complete answer; only a complete but bad
    // answer starts another try. So k silent requests then a corrupt answer
    // uses up one try.
    auto silentThenCorrupt = [](int silent) {
        std::vector<Bytes> r;
        for (int t = 0; t < 3; ++t) {
            for (int i = 0; i < silent; ++i) r.push_back({});
            r.push_back(corrupt(ack()));
        }
        return r;
    };
    const std::vector<RetryCase> cases = {
        {"good answer at once", LoggerVariant::Otter(), 0, false, {ack()}, 1, false},
        {"silent logger: one try of four attempts", LoggerVariant::Otter(), 0, false, {{}}, 4, true},
        {"silent logger with a cell link: six attempts", LoggerVariant::Otter(), 6, false, {{}}, 6, true},
        {"cell wait 4 gives five attempts", LoggerVariant::Otter(), 4, false, {{}}, 5, true},
        {"silent logger, no retries: one frame", LoggerVariant::Otter(), 0, true, {{}}, 1, true, 0, 500 + 200},
        {"silent, no retries, timeout", LoggerVariant::Otter(), 0, true, {{}}, 1, true, 0.3f, 800 + 500},
        {"silent, no retries, cell link", LoggerVariant::Otter(), 6, true, {{}}, 1, true, 0, 6500 + 6200},
        {"Marten, silent", LoggerVariant::Marten(), 0, true, {{}}, 1, true, 0, 300 + 200},
        {"Marten, silent, timeout", LoggerVariant::Marten(), 0, true, {{}}, 1, true, 0.3f, 600 + 500},
        {"corrupt logger, no retries: three frames", LoggerVariant::Otter(), 0, true, {corrupt(ack())}, 3, true},
        {"corrupt logger: three tries", LoggerVariant::Otter(), 0, false, {corrupt(ack())}, 3, true},
        {"worst case 3 x 4", LoggerVariant::Otter(), 0, false, silentThenCorrupt(3), 12, true},
        {"worst case 3 x 6 with a cell link", LoggerVariant::Otter(), 6, false, silentThenCorrupt(5), 18, true},
        {"Marten ignores the cell wait", LoggerVariant::Marten(), 6, false, {{}}, 4, true},
        {"Marten worst case 3 x 4", LoggerVariant::Marten(), 0, false, silentThenCorrupt(3), 12, true},
        {"corrupt then good", LoggerVariant::Otter(), 0, false, {corrupt(ack()), corrupt(ack()), ack()}, 3, false},
        {"silent twice then good", LoggerVariant::Otter(), 0, false, {{}, {}, ack()}, 3, false},
        {"wrong direction is a bad answer", LoggerVariant::Otter(), 0, false,
         {logger::buildRequest(std::vector<std::uint8_t>{9, 255, 12, 3, 4})}, 3, true},
        {"a longer answer announced is taken whole", LoggerVariant::Otter(), 0, false,
         {answer(std::vector<std::uint8_t>(21, 7))}, 1, false},
        // Length byte 10 on a 10-byte frame: the caller still expects 14, so
        // every attempt of the try runs out of time.
        {"a short length byte cannot shorten the wait", LoggerVariant::Otter(), 0, false, {answer({9})}, 4, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.replies, c.variant);
        rig.link.CellWait = c.cellWait;
        rig.link.CellConnected = c.cellWait > 0;
        const auto t0 = rig.clock.monotonicMs();
        rig.transmit({9, 0, 0, 0, 0}, c.noRetries, c.timeout);
        const std::int64_t took = rig.clock.monotonicMs() - t0;
        EXPECT_TRUE(c.ms < 0 || took == c.ms) << took << " ms";
        EXPECT_EQ(rig.script.requests.size(), c.frames);
        EXPECT_EQ(rig.state.CommsError, c.error);
    }
}

TEST(LoggerTransmit, InactivityLimitRestartsWithEachChunk) {
    // An answer trickling in slower than the whole limit but faster than the
    // limit between chunks is still received in one attempt.
    struct Trickle : sim::SimDevice {
        int bytesIn = 0;
        void receive(ByteSpan d, sim::SimOutput& out) override {
            bytesIn += static_cast<int>(d.size());
            if (bytesIn != 17) return;
            for (std::uint8_t b : answer({9, 255, 12, 3, 4})) out.send({b}, 150);
        }
        nlohmann::json state() const override { return {}; }
    } dev;
    Rig rig(&dev);
    rig.transmit({9, 0, 0, 0, 0}, true);
    EXPECT_FALSE(rig.state.CommsError);
    EXPECT_EQ(rig.state.RxLen, 14);
}

TEST(LoggerTransmit, ClosedPortSendsNothing) {
    Rig rig;
    rig.transmit({9});
    EXPECT_TRUE(rig.port.writes.empty());
    EXPECT_TRUE(rig.state.CommsError);
    EXPECT_EQ(rig.screen.leds.back(), "1R");
}

// Lamps, and the modem-control lines pulsed before each attempt (not during
// Otter's cell call).
TEST(LoggerTransmit, LampsAndModemLines) {
    struct LampCase {
        const char* name;
        LoggerVariant variant;
        bool cellConnected;
        std::vector<Bytes> replies;
        std::vector<std::string> leds;  // after the TxAdd of one data byte
        std::size_t pulses;
    };
    // Seven bytes are added to the frame (the data byte, checksum, end
    // marker and three trailing zeros), each lighting the send lamp.
    auto seq = [](int greens, std::vector<std::string> rest) {
        std::vector<std::string> v(static_cast<std::size_t>(greens), "0G");
        v.insert(v.end(), rest.begin(), rest.end());
        return v;
    };
    const auto otter = LoggerVariant::Otter(), marten = LoggerVariant::Marten();
    const std::vector<LampCase> cases = {
        {"Otter good", otter, false, {ack()}, seq(7, {"1G"}), 1},
        {"Otter during a cell call", otter, true, {ack()}, seq(7, {"1G"}), 0},
        {"Otter silent once", otter, false, {{}, ack()}, seq(7, {"1R", "1G"}), 2},
        {"Otter silent", otter, false, {{}}, seq(7, {"1R", "1R", "1R", "1R", "1R"}), 4},
        {"Marten good", marten, false, {ack()}, seq(8, {"0N", "1G", "1N"}), 1},
        {"Marten during a cell call", marten, true, {ack()}, seq(8, {"0N", "1G", "1N"}), 1},
        {"Marten silent once", marten, false, {{}, ack()}, seq(8, {"1R", "0G", "0N", "1G", "1N"}), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.replies, c.variant);
        rig.link.CellConnected = c.cellConnected;
        rig.port.lineEvents.clear();
        // Stale bytes waiting before the request must not be taken as the answer.
        rig.port.inject({0x5E, 0xFF, 0xFF, 0xFF, 0x0E});
        rig.transmit({9});
        EXPECT_EQ(rig.state.CommsError, c.replies.back().empty());
        EXPECT_EQ(rig.screen.leds, c.leds);
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < c.pulses; ++i) lines.insert(lines.end(), {"DTR0", "RTS0", "DTR1", "RTS1"});
        EXPECT_EQ(rig.port.lineEvents, lines);
    }
}

}  // namespace
}  // namespace kvr::test
