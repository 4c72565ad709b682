// The simulators' record encoders against the link's decoders: what a
// simulator stores must come back as the reading it meant, within the
// layout's step, or the end-to-end comparisons would test nothing.
#include <gtest/gtest.h>

#include <set>

#include "server_link/record.h"
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

TEST(SimRecords, KnownRecordByteForByte) {
    EXPECT_EQ(hexOf(encodeKind1(reading(123, "2012-03-04 12:34", 21.5f, 18.5f, 25.5f, 3.6f))),
              "1A007B61B3B20159" "2B004A09F64A09F6" "4A09F64A09F64A09" "F64A09F60011E427");
}

// Every generated reading comes back from each reading kind, and no reading
// is made twice (the end-to-end tests count rows).
TEST(SimRecords, GeneratedReadingsRoundTripThroughEveryReadingKind) {
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

TEST(SimRecords, NonReadingRecordsDecodeToTheirMarkers) {
    const ProbeReading r = reading(321, "2012-03-04 12:34", 21.5f, 18.5f, 25.5f, 3.6f);
    struct Case {
        const char* name;
        Record rec;
        RecordClass single, bulk;
    };
    std::vector<Case> cases = {
        {"probe settings", encodeProbeSettings(321, 5), RecordClass::ProbeSettings, RecordClass::Skipped},
        {"repeater settings", encodeRepeaterSettings(321, 6), RecordClass::RepeaterSettings, RecordClass::Skipped},
        {"bad check", withBadCheck(encodeKind1(r)), RecordClass::CrcError, RecordClass::CrcError},
        {"unsealed kind 0", encodeKind0(r, false), RecordClass::Reading, RecordClass::CrcError},
    };
    for (int k : {3, 6, 9, 15})
        cases.push_back({"unknown kind", encodeUnknownKind(k, 321, static_cast<std::uint32_t>(k)),
                         RecordClass::InvalidKind, RecordClass::Skipped});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(c.rec).cls, c.single);
        EXPECT_EQ(decodeBulk(c.rec).cls, c.bulk);
        EXPECT_EQ(decode(c.rec).reading.probe, 321);
    }
}

TEST(SimRecords, LoggerLayoutStoresTheKnownDepthBytes) {
    // Raw tenths of 0..51.1 degrees; negatives and values above 51.1 are
    // stored 50 degrees off, as the reader unwraps them.
    struct Case {
        float t, sm;
        std::array<std::uint8_t, 3> bytes;
    };
    for (const Case& c : {Case{30.0f, 3.0f, {0x2C, 0x81, 0x2C}}, Case{-15.0f, 0.0f, {0x5E, 0x80, 0x00}},
                          Case{55.0f, 0.0f, {0x32, 0x00, 0x00}}, Case{0.0f, 163.83f, {0x00, 0x3F, 0xFF}}}) {
        const Record b = encodeLoggerRecord(reading(0x123456, "2000-01-01 23:59:59", -1.0f, c.t, c.sm, 3.6f));
        // Probe, record number 345, seconds since 2000 (86399), unit temperature -1, 3.6 V.
        EXPECT_EQ(Bytes(b.begin(), b.begin() + 12), (Bytes{0x12, 0x34, 0x56, 0x01, 0x59, 0x00, 0x01, 0x51, 0x7F, 0xFF, 0x00, 36}));
        for (std::size_t i = 0; i < 6; ++i)
            EXPECT_EQ((std::array<std::uint8_t, 3>{b[12 + 3 * i], b[13 + 3 * i], b[14 + 3 * i]}), c.bytes) << c.t;
    }
}

}  // namespace
}  // namespace kvr::sim
