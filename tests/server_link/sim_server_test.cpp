// The simulated probe server on its own (no port): request checking, the
// answers' bytes, the ring walk of record reads and bulk streams, clearing,
// and the injected faults that the link's tests rely on.
#include <gtest/gtest.h>

#include <algorithm>

#include "server_link/record.h"
#include "sim/devices/faults.h"
#include "sim/devices/probe_server.h"

namespace kvr::sim {
namespace {

Bytes request(std::uint8_t cmd, Bytes params, std::uint8_t a1 = 0xFF, std::uint8_t a2 = 0xFF) {
    Bytes f{0x5E, a1, a2, static_cast<std::uint8_t>(params.size() + 2), 0x00, cmd};
    f.insert(f.end(), params.begin(), params.end());
    std::uint16_t c = crc16(ByteSpan(f).subspan(1));
    f.push_back(static_cast<std::uint8_t>(c & 0xFF));
    f.push_back(static_cast<std::uint8_t>(c >> 8));
    return f;
}

Bytes joined(const SimOutput& out) {
    Bytes all;
    for (auto& c : out.chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    return all;
}

ProbeServerOptions ring(int slots, int next, int end, FaultOptions faults = {}) {
    ProbeServerOptions o;
    o.slots = slots;
    o.next = next;
    o.end = end;
    o.now = parseLocalText("2012-03-04 12:00");
    o.clockUnits = 5760;
    o.faults = faults;
    return o;
}

Bytes talk(ProbeServer& dev, const Bytes& req) {
    SimOutput out;
    Bytes line{0x00};  // every attempt is preceded by one 0x00 on the line
    line.insert(line.end(), req.begin(), req.end());
    dev.receive(line, out);
    return joined(out);
}

// A valid answer frame: start, L, direction 01, echo, check folding to 0.
bool validAnswer(const Bytes& a, std::uint8_t cmd) {
    return a.size() >= 8 && a[0] == 0x5E && a.size() == static_cast<std::size_t>(a[3]) + 6 && a[4] == 0x01 &&
           a[5] == cmd && crc16(ByteSpan(a).subspan(1)) == 0;
}

int at16(const Bytes& a, int pos) {  // frame position counted from 1
    return a[static_cast<std::size_t>(pos - 1)] * 256 + a[static_cast<std::size_t>(pos)];
}

TEST(SimServer, StatusAnswerCarriesRingValuesAtTheirPositions) {
    ProbeServer dev(ring(10, 8, 3));
    Bytes a = talk(dev, request(0x10, {0x00}));
    ASSERT_TRUE(validAnswer(a, 0x10));
    EXPECT_EQ(a[3], 18);  // 16 data bytes
    EXPECT_EQ(at16(a, 11) * 65536 + at16(a, 13), 5760);
    EXPECT_EQ(at16(a, 15), 3);   // EndRecord
    EXPECT_EQ(at16(a, 17), 8);   // NextRecord
    EXPECT_EQ(at16(a, 19), 10);  // RecordSlots
    EXPECT_EQ(at16(a, 21), 5);   // NumReadings: 8, 9, 0, 1, 2
}

TEST(SimServer, MalformedRequestsGetNoAnswer) {
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
    };
    const std::vector<Case> cases = {
        {"start byte", [](Bytes& f) { f[0] = 0x5F; }},
        {"foreign address", [](Bytes& f) { f[1] = 0x12; }},
        {"direction", [](Bytes& f) { f[4] = 0x01; }},
        {"check low", [](Bytes& f) { f[f.size() - 2] ^= 1; }},
        {"check high", [](Bytes& f) { f.back() ^= 0x80; }},
        {"parameter", [](Bytes& f) { f[6] ^= 0x40; }},
        {"length too short", [](Bytes& f) { f[3] = 1; }},
        {"truncated", [](Bytes& f) { f.pop_back(); }},
    };
    for (const auto& c : cases) {
        ProbeServer dev(ring(10, 8, 3));
        Bytes f = request(0x10, {0x00});
        c.damage(f);
        EXPECT_TRUE(talk(dev, f).empty()) << c.name;
        // The device still answers the next good request (no stuck receiver).
        EXPECT_TRUE(validAnswer(talk(dev, request(0x10, {0x00})), 0x10)) << c.name;
    }
}

TEST(SimServer, OwnAddressAndNoiseBeforeTheFrameAreAccepted) {
    ProbeServer dev(ring(10, 8, 3));
    EXPECT_TRUE(validAnswer(talk(dev, request(0x10, {0x00}, 0x00, 0x01)), 0x10));
    Bytes noisy{0x13, 0x00, 0x5E, 0x40, 0x99};  // includes a false start byte
    Bytes req = request(0x10, {0x00});
    noisy.insert(noisy.end(), req.begin(), req.end());
    EXPECT_TRUE(validAnswer(talk(dev, noisy), 0x10));
}

TEST(SimServer, ByteByByteGivesTheSameAnswersAsOneChunk) {
    Bytes line;
    for (auto& r : {request(0x10, {0x00}), request(0x13, {0x00, 0x09}), request(0x0A, {0, 0, 0x16, 0x80})}) {
        line.push_back(0x00);
        line.insert(line.end(), r.begin(), r.end());
    }
    ProbeServer whole(ring(10, 8, 3)), pieces(ring(10, 8, 3));
    SimOutput a, b;
    whole.receive(line, a);
    for (auto byte : line) pieces.receive(Bytes{byte}, b);
    EXPECT_EQ(joined(a), joined(b));
    EXPECT_EQ(a.chunks.size(), 3u);
}

TEST(SimServer, RecordReadReturnsTheRingPositionAndBlankBeyondTheRing) {
    ProbeServer dev(ring(10, 8, 3));
    for (int pos : {8, 9, 0, 2, 5}) {
        Bytes a = talk(dev, request(0x13, {0x00, static_cast<std::uint8_t>(pos)}));
        ASSERT_TRUE(validAnswer(a, 0x13)) << pos;
        ASSERT_EQ(a.size(), 6u + 36u);
        EXPECT_EQ(at16(a, 7), pos);
        Record r;
        std::copy(a.begin() + 8, a.begin() + 40, r.begin());
        EXPECT_EQ(r, dev.ring()[static_cast<std::size_t>(pos)]) << pos;
    }
    Bytes a = talk(dev, request(0x13, {0x01, 0x2C}));  // 300 > slots
    ASSERT_TRUE(validAnswer(a, 0x13));
    EXPECT_TRUE(std::all_of(a.begin() + 8, a.begin() + 40, [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(SimServer, FreshRecordsRunFromNextToEndNewestLast) {
    ProbeServer dev(ring(10, 8, 3));
    ASSERT_EQ(dev.newRecords().size(), 5u);
    const int positions[] = {8, 9, 0, 1, 2};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(dev.ring()[static_cast<std::size_t>(positions[i])], dev.newRecords()[static_cast<std::size_t>(i)].bytes);
    for (int i = 1; i < 5; ++i)
        EXPECT_LE(dev.newRecords()[static_cast<std::size_t>(i - 1)].reading.time, dev.newRecords()[static_cast<std::size_t>(i)].reading.time);
    EXPECT_LT(dev.newRecords().back().reading.time, parseLocalText("2012-03-04 12:00"));
}

struct BulkCase {
    const char* name;
    FaultOptions faults;
    std::vector<int> framesSent;      // frame numbers expected in the stream
    std::vector<int> garbled;         // of those, frames whose record fails its check
};

TEST(SimServer, BulkStreamNumbersFramesAndWrapsTheRing) {
    auto faults = [](auto f) {
        FaultOptions o;
        f(o);
        return o;
    };
    const std::vector<BulkCase> cases = {
        {"clean", {}, {0, 1, 2, 3, 4}, {}},
        {"cut after 2", faults([](FaultOptions& o) { o.cutAfter = 2; }), {0, 1}, {}},
        {"cut after 0", faults([](FaultOptions& o) { o.cutAfter = 0; }), {}, {}},
        {"drop 1 and 4", faults([](FaultOptions& o) { o.dropFrames = {1, 4}; }), {0, 2, 3}, {}},
        {"garble 3", faults([](FaultOptions& o) { o.garbleFrames = {3}; }), {0, 1, 2, 3, 4}, {3}},
    };
    for (const auto& c : cases) {
        ProbeServer dev(ring(10, 8, 3, c.faults));
        Bytes a = talk(dev, request(0x04, {0, 0, 0x16, 0x80, 0x00, 0x08, 0x00}));
        ASSERT_GE(a.size(), 8u) << c.name;
        Bytes ack(a.begin(), a.begin() + 8);
        EXPECT_TRUE(validAnswer(ack, 0x04)) << c.name;
        ASSERT_EQ(a.size(), 8 + 36 * c.framesSent.size()) << c.name;
        for (std::size_t i = 0; i < c.framesSent.size(); ++i) {
            auto f = a.begin() + static_cast<std::ptrdiff_t>(8 + 36 * i);
            const int n = c.framesSent[i];
            EXPECT_EQ(f[0], 0x4E);
            EXPECT_EQ(f[1] * 256 + f[2], n) << c.name;
            EXPECT_EQ(f[35], 0x4F);
            Record r;
            std::copy(f + 3, f + 35, r.begin());
            const int pos = (8 + n) % 10;
            const bool garbled = std::count(c.garbled.begin(), c.garbled.end(), n) > 0;
            EXPECT_EQ(r == dev.ring()[static_cast<std::size_t>(pos)], !garbled) << c.name << " frame " << n;
            EXPECT_EQ(recordCheckPasses(RecordBytes(r.data(), 32)), !garbled) << c.name << " frame " << n;
        }
    }
}

TEST(SimServer, BulkStartsWhereAskedNotAtNextRecord) {
    ProbeServer dev(ring(10, 8, 3));
    Bytes a = talk(dev, request(0x04, {0, 0, 0x16, 0x80, 0x00, 0x09, 0x00}));
    ASSERT_EQ(a.size(), 8u + 5 * 36u);
    // Frame 0 carries position 9, frame 1 position 0 (wrapped).
    EXPECT_TRUE(std::equal(a.begin() + 11, a.begin() + 43, dev.ring()[9].begin()));
    EXPECT_TRUE(std::equal(a.begin() + 47, a.begin() + 79, dev.ring()[0].begin()));
    EXPECT_EQ(dev.state()["bulkStarts"], nlohmann::json::array({9}));
}

TEST(SimServer, ClearMovesNextToEndAndSetClockIsRecorded) {
    ProbeServer dev(ring(10, 8, 3));
    EXPECT_TRUE(validAnswer(talk(dev, request(0x0A, {0x00, 0x00, 0x16, 0x80})), 0x0A));
    EXPECT_TRUE(validAnswer(talk(dev, request(0x09, {})), 0x09));
    Bytes s = talk(dev, request(0x10, {0x00}));
    EXPECT_EQ(at16(s, 15), 3);
    EXPECT_EQ(at16(s, 17), 3);
    EXPECT_EQ(at16(s, 21), 0);
    auto st = dev.state();
    EXPECT_EQ(st["clock"]["setUnits"], 5760);
    EXPECT_EQ(st["clock"]["setText"], "2000-01-02 00:00:00");
    EXPECT_EQ(st["cleared"], true);
    EXPECT_EQ(st["clearCount"], 1);
}

TEST(SimServer, RequestsWithWrongParameterCountAreNotExecuted) {
    ProbeServer dev(ring(10, 8, 3));
    EXPECT_TRUE(talk(dev, request(0x09, {0x00})).empty());          // clear takes none
    EXPECT_TRUE(talk(dev, request(0x0A, {0x00, 0x16, 0x80})).empty());  // clock takes 4
    EXPECT_TRUE(talk(dev, request(0x42, {0x00})).empty());          // unknown command
    auto st = dev.state();
    EXPECT_EQ(st["cleared"], false);
    EXPECT_EQ(st["clock"]["set"], false);
    EXPECT_EQ(st["requests"]["badParameters"], 2);
    EXPECT_EQ(st["requests"]["ignored"], 1);
}

TEST(SimServer, InjectedAnswerFaultsHitTheRightExchanges) {
    struct Case {
        const char* name;
        FaultOptions faults;
        std::vector<const char*> outcome;  // per exchange: "ok", "check", "echo", "none"
    };
    auto faults = [](auto f) {
        FaultOptions o;
        f(o);
        return o;
    };
    const std::vector<Case> cases = {
        {"corrupt every 2", faults([](FaultOptions& o) { o.corruptEvery = 2; }), {"ok", "check", "ok", "check", "ok"}},
        {"wrong echo every 3", faults([](FaultOptions& o) { o.wrongEchoEvery = 3; }), {"ok", "ok", "echo", "ok", "ok"}},
        {"silent after 2", faults([](FaultOptions& o) { o.silentAfter = 2; }), {"ok", "ok", "none", "none", "none"}},
        {"corrupt every 1", faults([](FaultOptions& o) { o.corruptEvery = 1; }), {"check", "check", "check", "check", "check"}},
    };
    for (const auto& c : cases) {
        ProbeServer dev(ring(10, 8, 3, c.faults));
        for (std::size_t i = 0; i < c.outcome.size(); ++i) {
            Bytes a = talk(dev, request(0x10, {0x00}));
            std::string got = a.empty() ? "none"
                              : validAnswer(a, 0x10) ? "ok"
                              : crc16(ByteSpan(a).subspan(1)) != 0 ? "check"
                              : a[5] != 0x10 ? "echo"
                                             : "other";
            EXPECT_EQ(got, c.outcome[i]) << c.name << " exchange " << i + 1;
        }
    }
}

TEST(SimServer, SilentDeviceDoesNotClear) {
    FaultOptions f;
    f.silentAfter = 1;
    ProbeServer dev(ring(10, 8, 3, f));
    EXPECT_FALSE(talk(dev, request(0x10, {0x00})).empty());
    EXPECT_TRUE(talk(dev, request(0x09, {})).empty());
    EXPECT_EQ(dev.numReadings(), 5);
    EXPECT_EQ(dev.state()["cleared"], false);
}

TEST(SimServer, NoiseComesBeforeTheAnswerAndNeverFakesAStart) {
    FaultOptions f;
    f.noise = 40;
    ProbeServer dev(ring(10, 8, 3, f));
    for (int i = 0; i < 20; ++i) {
        Bytes a = talk(dev, request(0x10, {0x00}));
        ASSERT_EQ(a.size(), 40u + 24u);
        EXPECT_TRUE(std::none_of(a.begin(), a.begin() + 40,
                                 [](std::uint8_t b) { return b == 0x5E || b == 0x4E || b == 0x4F; }));
        EXPECT_TRUE(validAnswer(Bytes(a.begin() + 40, a.end()), 0x10));
    }
}

TEST(SimServer, OptionParsingRejectsNonsense) {
    const std::vector<std::vector<std::string>> bad = {
        {"--slots", "0"},
        {"--slots", "65536"},
        {"--slots", "10", "--next", "10"},
        {"--slots", "10", "--end", "12"},
        {"--slots", "10", "--count", "10"},
        {"--noise", "x"},
        {"--corrupt-every", "-1"},
        {"--records-mix", "k1=0"},
        {"--records-mix", "k7=1"},
        {"--now", "yesterday"},
        {"--bogus"},
        {"--slots"},
    };
    for (auto& args : bad) EXPECT_THROW(parseProbeServerOptions(args), std::invalid_argument) << args[0];

    auto o = parseProbeServerOptions({"--slots", "100", "--next", "90", "--end", "5", "--drop-frame", "3",
                                      "--drop-frame", "7", "--seed", "42", "--address", "0x0102"});
    EXPECT_EQ(o.slots, 100);
    EXPECT_EQ(o.next, 90);
    EXPECT_EQ(o.end, 5);
    EXPECT_EQ(o.faults.dropFrames, (std::set<int>{3, 7}));
    EXPECT_EQ(o.faults.seed, 42u);
    EXPECT_EQ(o.address, 0x0102);
    EXPECT_EQ(parseProbeServerOptions({"--slots", "10"}).count, 9);
    EXPECT_EQ(parseProbeServerOptions({"--clock-time", "2000-01-02 00:00:08"}).clockUnits, 5761);
    EXPECT_EQ(parseProbeServerOptions({"--clock-time", "2000-01-02 00:00:07"}).clockUnits, 5760);
}


}  // namespace
}  // namespace kvr::sim
