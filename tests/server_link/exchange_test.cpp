// Request frames and the request/answer exchange with its attempts.
#include <gtest/gtest.h>

#include <deque>

#include "server_link/server_link.h"
#include "testing/fakes.h"
#include "tests/server_link/tiny_server.h"

namespace kvr::test {
namespace {

struct Rig : test::FakePlatform {
    LinkState state;
    ServerLink link{platform, state};
    TinyServer dev;
    Rig() {
        dev.script = {{}};  // silent unless a test says otherwise
        port.attach(3, &dev);
        std::string err;
        port.open(3, err);
    }
    void status() {
        link.v5Add(0x10);
        link.v5Add(0x00);
        link.v5Transmit();
    }
};

const Bytes kStatusRequest{0x00, 0x5E, 0xFF, 0xFF, 0x03, 0x00, 0x10, 0x00, 0x0D, 0x84};

// No answer at all: four attempts, each the wake-up byte and the same frame,
// each waiting out the inactivity limit, then CommsError and a red lamp.
TEST(ServerExchange, NoAnswerMakesFourAttemptsOfTheLimitEach) {
    for (const auto& [modem, limitMs] : {std::pair<std::int16_t, std::int64_t>{0, 500}, {1, 5500}}) {
        SCOPED_TRACE(modem);
        Rig rig;
        rig.link.ModemOnline = modem;
        const auto t0 = rig.clock.monotonicMs();
        rig.status();
        ASSERT_EQ(rig.port.writes.size(), 4u);
        for (const auto& w : rig.port.writes) EXPECT_EQ(w, kStatusRequest);
        const auto took = rig.clock.monotonicMs() - t0;
        EXPECT_GE(took, 4 * limitMs);
        EXPECT_LT(took, 4 * limitMs + 4 * 150);
        EXPECT_TRUE(rig.state.CommsError);
        EXPECT_EQ(rig.state.TxLen, 0);
        EXPECT_EQ(rig.screen.leds.back(), "1R");
        EXPECT_EQ(rig.screen.dumpImgSteps, 4);
        EXPECT_GT(rig.screen.yields, 4);  // the window got its turns
    }
}

// What arrives after the status request, whether the exchange accepts it,
// and how many attempts it costs.
TEST(ServerExchange, AnswerReception) {
    const Bytes good = test::answerFrame(0x10, Bytes(16, 0x5E));  // start bytes inside the data
    Bytes badCheck = good;
    badCheck[8] ^= 0x01;
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    auto split = [](const Bytes& b, std::size_t n, std::int64_t gap) {
        std::vector<sim::SimChunk> out;
        for (std::size_t i = 0; i < b.size(); i += n)
            out.push_back({gap, Bytes(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(std::min(b.size(), i + n)))});
        return out;
    };
    using Answer = std::vector<sim::SimChunk>;
    struct Case {
        const char* name;
        std::vector<Answer> perAttempt;  // the last one repeats
        bool ok;
        int attempts;
    };
    const std::vector<Case> cases = {
        {"whole", {{{0, good}}}, true, 1},
        {"byte by byte", {split(good, 1, 1)}, true, 1},
        {"slow but steady", {split(good, 4, 450)}, true, 1},
        {"noise before start", {{{0, cat({{0x00, 0x13, 0xFF, 0x4E}, good})}}}, true, 1},
        {"bad check then good", {{{0, cat({badCheck, good})}}}, true, 1},
        // A half answer must not be glued to the next attempt's answer.
        {"pause beyond the limit, then good", {{{0, Bytes(good.begin(), good.begin() + 12)},
                                                {700, Bytes(good.begin() + 12, good.end())}},
                                               {{0, good}}}, true, 2},
        {"bad check only", {{{0, badCheck}}}, false, 4},
        {"echo of request", {{{0, test::answerFrame(0x10, Bytes(16, 0), 0x00)}}}, false, 4},
        {"wrong command echo", {{{0, test::answerFrame(0x13, Bytes(16, 0))}}}, false, 4},
        {"cut short", {{{0, Bytes(good.begin(), good.end() - 1)}}}, false, 4},
        {"silence", {{}}, false, 4},
        // Each byte well within the inactivity limit of the one before.
        {"endless noise", {Answer(400, {100, Bytes{0x00}})}, false, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.dev.script = c.perAttempt;
        const auto t0 = rig.clock.monotonicMs();
        rig.status();
        // Every attempt ends within three times the limit plus a full buffer's time on the line.
        EXPECT_LE(rig.clock.monotonicMs() - t0, 4 * (3 * 500 + 1100));
        EXPECT_EQ(!rig.state.CommsError, c.ok);
        EXPECT_EQ(rig.port.writes.size(), static_cast<std::size_t>(c.attempts));
        EXPECT_EQ(rig.state.TxLen, 0);
        EXPECT_EQ(rig.screen.leds.back(), c.ok ? "1N" : "1R");
        if (c.ok) {
            ASSERT_GE(rig.state.RxLen, static_cast<int>(good.size()));
            for (std::size_t i = 1; i < good.size(); ++i) EXPECT_EQ(rig.state.RxBuf[i + 1], good[i]) << i;
        }
    }
}

TEST(ServerExchange, ClosedPortOrClosedWindowLeavesNoCommandPending) {
    Rig closed;
    closed.port.close();
    closed.status();
    EXPECT_TRUE(closed.port.writes.empty());
    EXPECT_TRUE(closed.state.CommsError);
    EXPECT_EQ(closed.state.TxLen, 0);

    Rig rig;
    rig.screen.closeAfterYields(3);
    EXPECT_THROW(rig.status(), ProgramEnd);
    EXPECT_EQ(rig.state.TxLen, 0);
}

TEST(ServerStatus, ValuesAndMessages) {
    Bytes data(8, 0);  // End 2000, Next 300, Slots 65535, Num 0
    data.insert(data.end(), {0x07, 0xD0, 0x01, 0x2C, 0xFF, 0xFF, 0x00, 0x00});
    Rig rig;
    rig.dev.script = {{{0, test::answerFrame(0x10, data)}}, {}};
    rig.state.NumReadings = 7;
    rig.link.v5GetStatus();
    const auto values = [&] {
        const auto& s = rig.state;
        return std::tuple(s.CommsError, s.EndRecord, s.NextRecord, s.RecordSlots, s.NumReadings);
    };
    EXPECT_EQ(values(), std::tuple(false, 2000, 300, 65535, 0));
    EXPECT_EQ(rig.screen.events, (std::vector<std::string>{"Loading server status ...", "Loaded server status OK."}));
    // A failed read leaves the earlier values in place.
    rig.link.v5GetStatus();
    EXPECT_EQ(values(), std::tuple(true, 2000, 300, 65535, 0));
    EXPECT_EQ(rig.screen.events.back(), "Cannot load server status, no comms.");
}

}  // namespace
}  // namespace kvr::test
