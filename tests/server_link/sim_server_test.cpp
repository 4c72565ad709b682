// The simulated probe server on its own (no port): its record encoders
// against the link's decoders (what it stores must come back as the reading
// it meant, within the layout's step), strict request checking and its
// options. Its answers and the faults it injects are checked through the
// link over a pseudo-terminal; the simulated logger's records by the logger
// download tests, against the rows it means to be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "core/server_record.h"
#include "sim/devices/probe_server.h"
#include "sim/devices/readings.h"

namespace kvr::sim {
namespace {

DecodedRecord decode(const Record& r) { return decodeRecord(RecordBytes(r.data(), 32)); }
DecodedRecord decodeBulk(const Record& r) { return decodeBulkRecord(RecordBytes(r.data(), 32)); }

ProbeReading reading(std::int32_t probe, const char* when, float temp, float t, float sm, float volts) {
    ProbeReading r;
    r.probe = probe;
    r.time = parseLocalText(when);
    r.Temp = temp;
    r.T.fill(t);
    r.SM.fill(sm);
    r.Volts = volts;
    r.recNo = 345;
    r.counter = 17;
    return r;
}

TEST(SimServerRecords, KnownRecordByteForByte) {
    EXPECT_EQ(hexOf(encodeKind1(reading(123, "2012-03-04 12:34", 21.5f, 18.5f, 25.5f, 3.6f))),
              "1A007B61B3B20159" "2B004A09F64A09F6" "4A09F64A09F64A09" "F64A09F60011E427");
}

// Every generated reading comes back from each reading kind, and no reading
// is made twice (the end-to-end tests count rows).
TEST(SimServerRecords, GeneratedReadingsRoundTripThroughEveryReadingKind) {
    ReadingGenerator gen(7, parseLocalText("2013-07-01 06:00"), 8);
    std::set<std::pair<std::int32_t, std::int64_t>> seen;
    for (const auto& r : gen.generate(600)) {
        ASSERT_TRUE(seen.insert({r.probe, deviceSeconds(r.time)}).second);
        const auto k1 = decode(encodeKind1(r)), k0 = decode(encodeKind0(r)), k2 = decode(encodeKind2(r));
        ASSERT_EQ(k1.cls, RecordClass::Reading);
        ASSERT_EQ(k0.cls, RecordClass::Reading);
        ASSERT_EQ(k2.cls, RecordClass::DumpOnly);
        ASSERT_EQ(decodeBulk(encodeKind1(r)).cls, RecordClass::Reading);
        ASSERT_EQ(decodeBulk(encodeKind0(r)).cls, RecordClass::Reading);
        for (const auto& [d, tStep] : {std::pair{k1.reading, 1.0f / 16}, {k0.reading, 0.1f}}) {
            ASSERT_EQ(d.probe, r.probe);
            ASSERT_EQ(d.recNo, r.recNo);
            for (std::size_t i = 0; i < 6; ++i) {
                ASSERT_NEAR(d.T[i], r.T[i], tStep / 2 + 1e-4) << i;
                ASSERT_NEAR(d.SM[i], r.SM[i], 0.005 + 1e-4) << i;
            }
        }
        ASSERT_EQ(k1.reading.time, quantizeKind1(r).time);
        ASSERT_NEAR(k1.reading.Temp, r.Temp, 1.0 / 32 + 1e-4);
        ASSERT_EQ(k1.reading.counter, r.counter);
        ASSERT_FLOAT_EQ(k1.reading.Volts, quantizeKind1(r).Volts);
        ASSERT_EQ(k0.reading.time, r.time);
        ASSERT_NEAR(k0.reading.Volts, r.Volts, 0.051);
        ASSERT_EQ(k0.reading.counter, quantizeKind0(r).counter);
        ASSERT_EQ(k2.reading.probe, r.probe);
        ASSERT_EQ(k2.reading.time, quantizeKind1(r).time);
    }
    ProbeReading failed = reading(9, "2011-11-11 11:11", 21.5f, 10.0f, 10.0f, 3.1f);
    failed.pwrFail = 1;
    EXPECT_EQ(decode(encodeKind1(failed)).reading.Volts, 999.0f);
    EXPECT_EQ(decode(encodeKind1(failed)).reading.pwrFail, 1);
    EXPECT_EQ(decode(encodeKind0(failed)).reading.pwrFail, 1);
}

Bytes request(std::uint8_t cmd, Bytes params, std::uint8_t a1 = 0xFF, std::uint8_t a2 = 0xFF) {
    // Built piecewise: GCC 12 warns falsely on an init-list vector grown by insert.
    Bytes f;
    f.reserve(params.size() + 8);
    for (std::uint8_t b : {std::uint8_t{0x5E}, a1, a2, static_cast<std::uint8_t>(params.size() + 2),
                           std::uint8_t{0x00}, cmd})
        f.push_back(b);
    for (std::uint8_t b : params) f.push_back(b);
    std::uint16_t c = crc16(ByteSpan(f).subspan(1));
    f.push_back(static_cast<std::uint8_t>(c & 0xFF));
    f.push_back(static_cast<std::uint8_t>(c >> 8));
    return f;
}
const Bytes kStatus = request(0x10, {0x00});

Bytes joined(const SimOutput& out) {
    Bytes all;
    for (auto& c : out.chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    return all;
}

ProbeServerOptions ring() {
    ProbeServerOptions o;
    o.slots = 10;
    o.next = 8;
    o.end = 3;
    o.now = parseLocalText("2012-03-04 12:00");
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

TEST(SimServer, OnlyWellFormedRequestsAreAnswered) {
    auto damaged = [](Bytes f, const std::function<void(Bytes&)>& d) {
        d(f);
        return f;
    };
    Bytes noisy{0x13, 0x00, 0x5E, 0x40, 0x99};  // includes a false start byte
    noisy.insert(noisy.end(), kStatus.begin(), kStatus.end());
    struct Case {
        const char* name;
        Bytes req;
        bool answered;
    };
    const std::vector<Case> cases = {
        {"start byte", damaged(kStatus, [](Bytes& f) { f[0] = 0x5F; }), false},
        {"foreign address", request(0x10, {0x00}, 0x12, 0x34), false},
        {"direction", damaged(kStatus, [](Bytes& f) { f[4] = 0x01; }), false},
        {"check low", damaged(kStatus, [](Bytes& f) { f[f.size() - 2] ^= 1; }), false},
        {"check high", damaged(kStatus, [](Bytes& f) { f.back() ^= 0x80; }), false},
        {"parameter", damaged(kStatus, [](Bytes& f) { f[6] ^= 0x40; }), false},
        {"length too short", damaged(kStatus, [](Bytes& f) { f[3] = 1; }), false},
        {"truncated", damaged(kStatus, [](Bytes& f) { f.pop_back(); }), false},
        {"clear with a parameter", request(0x09, {0x00}), false},
        {"clock with three bytes", request(0x0A, {0x00, 0x16, 0x80}), false},
        {"unknown command", request(0x42, {0x00}), false},
        {"own address", request(0x10, {0x00}, 0x00, 0x01), true},
        {"noise before the frame", noisy, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeServer dev(ring());
        EXPECT_EQ(!talk(dev, c.req).empty(), c.answered);
        // The device still answers the next good request (no stuck receiver).
        EXPECT_TRUE(validAnswer(talk(dev, kStatus), 0x10));
        EXPECT_EQ(dev.state()["cleared"], false);
        EXPECT_EQ(dev.state()["clock"]["set"], false);
    }
}

TEST(SimServer, ByteByByteGivesTheSameAnswersAsOneChunk) {
    Bytes line;
    for (auto& r : {kStatus, request(0x13, {0x00, 0x09}), request(0x0A, {0, 0, 0x16, 0x80})}) {
        line.push_back(0x00);
        line.insert(line.end(), r.begin(), r.end());
    }
    ProbeServer whole(ring()), pieces(ring());
    SimOutput a, b;
    whole.receive(line, a);
    for (auto byte : line) pieces.receive(Bytes{byte}, b);
    EXPECT_EQ(joined(a), joined(b));
    EXPECT_EQ(a.chunks.size(), 3u);
}

TEST(SimServer, OptionParsing) {
    const std::vector<std::vector<std::string>> bad = {
        {"--slots", "0"}, {"--slots", "65536"}, {"--slots", "10", "--next", "10"}, {"--slots", "10", "--end", "12"},
        {"--slots", "10", "--count", "10"}, {"--noise", "x"}, {"--corrupt-every", "-1"}, {"--records-mix", "k1=0"},
        {"--records-mix", "k7=1"}, {"--now", "yesterday"}, {"--bogus"}, {"--slots"}};
    for (auto& args : bad) EXPECT_THROW(parseProbeServerOptions(args), std::invalid_argument) << args[0];

    auto o = parseProbeServerOptions({"--slots", "100", "--next", "90", "--end", "5", "--drop-frame", "3",
                                      "--drop-frame", "7", "--address", "0x0102"});
    EXPECT_EQ(o.end, 5);
    EXPECT_EQ(o.faults.dropFrames, (std::set<int>{3, 7}));
    EXPECT_EQ(o.address, 0x0102);
    // The default count fits a small ring; the clock is kept in whole 15-s units.
    EXPECT_EQ(parseProbeServerOptions({"--slots", "10"}).count, 9);
    EXPECT_EQ(parseProbeServerOptions({"--clock-time", "2000-01-02 00:00:08"}).clockUnits, 5761);
    EXPECT_EQ(parseProbeServerOptions({"--clock-time", "2000-01-02 00:00:07"}).clockUnits, 5760);
}

}  // namespace
}  // namespace kvr::sim
