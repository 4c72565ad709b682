// Frames, the CRC, and the request/answer exchange with its retries.
#include <gtest/gtest.h>

#include <deque>

#include "server_link/server_link.h"
#include "testing/fakes.h"
#include "tests/server_link/tiny_server.h"

namespace kvr {
namespace {

using kvr::testing::FakeClock;
using kvr::testing::FakePort;
using kvr::testing::MemorySettings;
using kvr::testing::ScriptedScreen;

// Answers each complete request with the next scripted list of chunks.
class ScriptedDevice : public sim::SimDevice {
public:
    std::deque<std::vector<sim::SimChunk>> script;
    int requests = 0;
    void receive(ByteSpan data, sim::SimOutput& out) override {
        for (auto b : data) {
            if (buf_.empty() && b != 0x5E) continue;
            buf_.push_back(b);
            if (buf_.size() >= 4 && buf_.size() == std::size_t{buf_[3]} + 6u) {
                buf_.clear();
                ++requests;
                if (script.empty()) continue;
                for (auto& c : script.front()) out.send(c.bytes, c.delayMs);
                script.pop_front();
            }
        }
    }
    nlohmann::json state() const override { return {}; }

private:
    Bytes buf_;
};

struct Rig {
    FakeClock clock;
    FakePort port{clock};
    MemorySettings settings;
    ScriptedScreen screen;
    Platform platform{clock, port, settings, screen};
    LinkState state;
    ServerLink link{platform, state};
    explicit Rig(sim::SimDevice* device) {
        port.attach(3, device);
        std::string err;
        port.open(3, err);
    }
};

std::vector<Bytes> splitEvery(const Bytes& b, std::size_t n) {
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < b.size(); i += n)
        out.emplace_back(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(std::min(b.size(), i + n)));
    return out;
}

TEST(ServerFrame, CrcOfDigitsIsTheCheckValue) {
    std::int32_t crc = 0xFFFF;
    for (std::int16_t c = 0x31; c <= 0x39; ++c) ServerLink::update_crc(crc, c);
    EXPECT_EQ(crc, 0x4B37);
}

TEST(ServerFrame, CorrectFrameFoldsToZero) {
    const Bytes frame{0xFF, 0xFF, 0x03, 0x00, 0x10, 0x00, 0x0D, 0x84};
    std::int32_t crc = 0xFFFF;
    for (auto b : frame) ServerLink::update_crc(crc, b);
    EXPECT_EQ(crc, 0);
}

// No answer at all: four attempts, each the wake-up byte and the same frame,
// each waiting out the inactivity limit, then CommsError and a red lamp.
TEST(ServerExchange, NoAnswerMakesFourAttemptsOfTheLimitEach) {
    struct Case {
        std::int16_t modem;
        std::int64_t limitMs;
    };
    for (const Case c : {Case{0, 500}, Case{1, 5500}}) {
        ScriptedDevice dev;
        Rig rig(&dev);
        rig.link.ModemOnline = c.modem;
        const auto t0 = rig.clock.monotonicMs();
        rig.link.v5Add(0x10);
        rig.link.v5Add(0x00);
        rig.link.v5Transmit();
        const Bytes expected{0x00, 0x5E, 0xFF, 0xFF, 0x03, 0x00, 0x10, 0x00, 0x0D, 0x84};
        ASSERT_EQ(rig.port.writes.size(), 4u);
        for (const auto& w : rig.port.writes) EXPECT_EQ(w, expected);
        EXPECT_EQ(dev.requests, 4);
        const auto took = rig.clock.monotonicMs() - t0;
        EXPECT_GE(took, 4 * c.limitMs);
        EXPECT_LT(took, 4 * c.limitMs + 4 * 150);
        EXPECT_TRUE(rig.state.CommsError);
        EXPECT_EQ(rig.state.TxLen, 0);
        EXPECT_EQ(rig.screen.leds.back(), "1R");
        EXPECT_EQ(rig.screen.dumpImgSteps, 4);
        EXPECT_GT(rig.screen.yields, 4);  // the window got its turns
    }
}

TEST(ServerExchange, CommandsStartAfreshAtPositionSix) {
    ScriptedDevice dev;
    Rig rig(&dev);
    // Record read for position 300: parameters 01 2C.
    rig.link.v5Add(0x13);
    rig.link.v5Add(300 / 256);
    rig.link.v5Add(300 % 256);
    rig.link.v5Transmit();
    ASSERT_FALSE(rig.port.writes.empty());
    const Bytes& w = rig.port.writes.front();
    ASSERT_EQ(w.size(), 11u);
    EXPECT_EQ(w[4], 0x04);  // L = parameter count + 2
    EXPECT_EQ(w[6], 0x13);
    EXPECT_EQ(w[7], 0x01);
    EXPECT_EQ(w[8], 0x2C);
    // After a longer command, a short one is built from position 6 again.
    rig.port.writes.clear();
    rig.link.v5Add(0x10);
    rig.link.v5Add(0x00);
    rig.link.v5Transmit();
    EXPECT_EQ(rig.port.writes.front(), (Bytes{0x00, 0x5E, 0xFF, 0xFF, 0x03, 0x00, 0x10, 0x00, 0x0D, 0x84}));
}

// What arrives after the status request, and whether the exchange accepts it.
TEST(ServerExchange, AnswerReception) {
    const Bytes good = test::answerFrame(0x10, Bytes(16, 0x5E));  // start bytes inside the data
    Bytes badCheck = good;
    badCheck[8] ^= 0x01;
    const Bytes echo = test::answerFrame(0x10, Bytes(16, 0), 0x00);
    const Bytes wrongCmd = test::answerFrame(0x13, Bytes(16, 0));
    auto chunks = [](std::vector<Bytes> parts, std::int64_t gap) {
        std::vector<sim::SimChunk> out;
        for (auto& p : parts) out.push_back({gap, p});
        return out;
    };
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    struct Case {
        const char* name;
        std::vector<sim::SimChunk> answer;  // the same answer on every attempt
        bool ok;
        int attempts;
    };
    const std::vector<Case> cases = {
        {"whole", chunks({good}, 0), true, 1},
        {"three chunks", chunks(splitEvery(good, 9), 5), true, 1},
        {"byte by byte", chunks(splitEvery(good, 1), 1), true, 1},
        {"slow but steady", chunks(splitEvery(good, 4), 450), true, 1},
        {"noise before start", chunks({join({Bytes{0x00, 0x13, 0xFF, 0x4E}, good})}, 0), true, 1},
        {"bad check then good", chunks({join({badCheck, good})}, 0), true, 1},
        {"bad check only", chunks({badCheck}, 0), false, 4},
        {"echo of request", chunks({echo}, 0), false, 4},
        {"wrong command echo", chunks({wrongCmd}, 0), false, 4},
        {"cut short", chunks({Bytes(good.begin(), good.end() - 1)}, 0), false, 4},
        {"silence", {}, false, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice dev;
        for (int i = 0; i < 4; ++i) dev.script.push_back(c.answer);
        Rig rig(&dev);
        rig.link.v5Add(0x10);
        rig.link.v5Add(0x00);
        rig.link.v5Transmit();
        EXPECT_EQ(!rig.state.CommsError, c.ok);
        EXPECT_EQ(dev.requests, c.attempts);
        EXPECT_EQ(rig.state.TxLen, 0);
        EXPECT_EQ(rig.screen.leds.back(), c.ok ? "1N" : "1R");
        if (c.ok) {
            EXPECT_GE(rig.state.RxLen, static_cast<int>(good.size()));
            for (std::size_t i = 1; i < good.size(); ++i) EXPECT_EQ(rig.state.RxBuf[i + 1], good[i]) << i;
        }
    }
}

// A half answer on the first attempt must not be glued to the second
// attempt's answer; a pause beyond the limit inside an answer fails it.
TEST(ServerExchange, RetryStartsTheAnswerAfresh) {
    ScriptedDevice dev;
    const Bytes good = test::answerFrame(0x10, Bytes(16, 1));
    dev.script.push_back({{0, Bytes(good.begin(), good.begin() + 12)}, {700, Bytes(good.begin() + 12, good.end())}});
    dev.script.push_back({{0, good}});
    Rig rig(&dev);
    rig.link.v5Add(0x10);
    rig.link.v5Add(0x00);
    rig.link.v5Transmit();
    EXPECT_FALSE(rig.state.CommsError);
    EXPECT_EQ(dev.requests, 2);
}

TEST(ServerExchange, BytesAfterTheAnswerAreKept) {
    ScriptedDevice dev;
    Bytes chunk = test::answerFrame(0x04, {});
    const Bytes after{0x4E, 0x00, 0x00, 0x01, 0x02};
    chunk.insert(chunk.end(), after.begin(), after.end());
    dev.script.push_back({{0, chunk}});
    Rig rig(&dev);
    rig.link.v5Add(0x04);
    rig.link.v5Transmit();
    ASSERT_FALSE(rig.state.CommsError);
    EXPECT_EQ(rig.link.answerTail(), after);
    EXPECT_EQ(rig.state.RxLen, 8 + 5);
    EXPECT_EQ(rig.state.RxBuf[9], 0x4E);
}

TEST(ServerExchange, ClosedPortSendsNothing) {
    ScriptedDevice dev;
    Rig rig(&dev);
    rig.port.close();
    rig.link.v5Add(0x09);
    rig.link.v5Transmit();
    EXPECT_TRUE(rig.port.writes.empty());
    EXPECT_TRUE(rig.state.CommsError);
    EXPECT_EQ(rig.state.TxLen, 0);
    EXPECT_EQ(rig.screen.leds.back(), "1R");
}

TEST(ServerExchange, ClosingTheWindowEndsTheWaitAndLeavesNoCommandPending) {
    ScriptedDevice dev;
    Rig rig(&dev);
    rig.screen.closeAfterYields(3);
    rig.link.v5Add(0x10);
    rig.link.v5Add(0x00);
    EXPECT_THROW(rig.link.v5Transmit(), ProgramEnd);
    EXPECT_EQ(rig.state.TxLen, 0);
}

TEST(ServerStatus, ValuesAndMessages) {
    Bytes data(16, 0);
    const Bytes values{0x07, 0xD0, 0x01, 0x2C, 0xFF, 0xFF, 0x00, 0x00};  // End 2000, Next 300, Slots 65535, Num 0
    std::copy(values.begin(), values.end(), data.begin() + 8);
    ScriptedDevice dev;
    dev.script.push_back({{0, test::answerFrame(0x10, data)}});
    Rig rig(&dev);
    rig.state.NumReadings = 7;
    rig.link.v5GetStatus();
    EXPECT_FALSE(rig.state.CommsError);
    EXPECT_EQ(rig.state.EndRecord, 2000);
    EXPECT_EQ(rig.state.NextRecord, 300);
    EXPECT_EQ(rig.state.RecordSlots, 65535);
    EXPECT_EQ(rig.state.NumReadings, 0);
    EXPECT_EQ(rig.screen.events, (std::vector<std::string>{"Loading server status ...", "Loaded server status OK."}));

    // A failed read leaves the earlier values in place.
    rig.link.v5GetStatus();
    EXPECT_TRUE(rig.state.CommsError);
    EXPECT_EQ(rig.state.EndRecord, 2000);
    EXPECT_EQ(rig.state.RecordSlots, 65535);
    EXPECT_EQ(rig.screen.events.back(), "Cannot load server status, no comms.");
}

}  // namespace
}  // namespace kvr
