// The simulators' record encoders against the link's decoders: what a
// simulator stores must come back as the reading it meant, within the
// layout's step, or the end-to-end comparisons would test nothing.
#include <gtest/gtest.h>

#include <cmath>

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

TEST(SimRecords, CurrentLayoutMatchesTheKnownRecordByteForByte) {
    Record r = encodeKind1(reading(123, "2012-03-04 12:34", 21.5f, 18.5f, 25.5f, 3.6f));
    EXPECT_EQ(hexOf(r), "1A007B61B3B20159" "2B004A09F64A09F6" "4A09F64A09F64A09" "F64A09F60011E427");
}

TEST(SimRecords, CrcMatchesTheStandardCheckValue) {
    const std::string digits = "123456789";
    EXPECT_EQ(crc16(ByteSpan(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size())), 0x4B37);
}

void expectNear(const ProbeReading& got, const ProbeReading& want, float tStep, const std::string& what) {
    EXPECT_EQ(got.probe, want.probe) << what;
    EXPECT_EQ(got.recNo, want.recNo) << what;
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(got.T[i], want.T[i], tStep / 2 + 1e-4) << what << " T" << i;
        EXPECT_NEAR(got.SM[i], want.SM[i], 0.005 + 1e-4) << what << " SM" << i;
    }
}

TEST(SimRecords, GeneratedReadingsRoundTripThroughEveryReadingKind) {
    ReadingGenerator gen(7, parseLocalText("2013-07-01 06:00"), 8);
    auto readings = gen.generate(600);
    ASSERT_EQ(readings.size(), 600u);
    for (const auto& r : readings) {
        {
            auto d = decode(encodeKind1(r));
            ASSERT_EQ(d.cls, RecordClass::Reading);
            expectNear(d.reading, r, 1.0f / 16, "kind 1");
            EXPECT_EQ(d.reading.time, quantizeKind1(r).time);
            EXPECT_NEAR(d.reading.Temp, r.Temp, 1.0 / 32 + 1e-4);
            EXPECT_EQ(d.reading.counter, r.counter);
            EXPECT_FLOAT_EQ(d.reading.Volts, quantizeKind1(r).Volts);
            auto b = decodeBulk(encodeKind1(r));
            EXPECT_EQ(b.cls, RecordClass::Reading);
        }
        {
            auto d = decode(encodeKind0(r));
            ASSERT_EQ(d.cls, RecordClass::Reading);
            expectNear(d.reading, r, 0.1f, "kind 0");
            EXPECT_EQ(d.reading.time, r.time);
            EXPECT_NEAR(d.reading.Volts, r.Volts, 0.051);
            EXPECT_EQ(d.reading.counter, quantizeKind0(r).counter);
            EXPECT_EQ(decodeBulk(encodeKind0(r)).cls, RecordClass::Reading);
        }
        {
            auto d = decode(encodeKind2(r));
            ASSERT_EQ(d.cls, RecordClass::DumpOnly);
            EXPECT_EQ(d.reading.probe, r.probe);
            EXPECT_EQ(d.reading.counter, r.counter);
            EXPECT_EQ(d.reading.time, quantizeKind1(r).time);
        }
    }
}

TEST(SimRecords, TemperaturesAtTheEdgesOfEachLayout) {
    struct Case {
        int kind;
        float t;       // asked for
        float stored;  // what must come back
    };
    const std::vector<Case> cases = {
        {1, 0.0f, 0.0f},        {1, 18.5f, 18.5f},    {1, 63.9375f, 63.9375f}, {1, 64.0f, 64.0f},
        {1, 90.0f, 90.0f},      {1, 95.0f, 90.0f},    {1, -0.0625f, -0.0625f}, {1, -32.0f, -32.0f},
        {1, -37.9375f, -37.9375f}, {1, -50.0f, -37.9375f},
        {0, 0.0f, 0.0f},        {0, 22.4f, 22.4f},    {0, 48.0f, 48.0f},       {0, 49.0f, 48.0f},
        {0, -0.1f, -0.1f},      {0, -1.9f, -1.9f},    {0, -5.0f, -1.9f},
    };
    for (const auto& c : cases) {
        ProbeReading r = reading(500, "2020-02-29 23:45", 20.0f, c.t, 12.34f, 3.6f);
        auto d = decode(c.kind == 1 ? encodeKind1(r) : encodeKind0(r));
        ASSERT_EQ(d.cls, RecordClass::Reading);
        for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(d.reading.T[i], c.stored, 1e-4) << "kind " << c.kind << " T " << c.t;
    }
}

TEST(SimRecords, SixthSensorStaysInTheFifthsRange) {
    ProbeReading r = reading(7, "2015-01-01 00:00", 20.0f, 20.0f, 10.0f, 3.6f);
    r.T[4] = 70.0f;  // needs the shared range bit
    r.T[5] = 20.0f;  // with that bit only 64..90 and below 0 can be stored: nearest is -1/16
    auto d = decode(encodeKind1(r));
    EXPECT_FLOAT_EQ(d.reading.T[4], 70.0f);
    EXPECT_FLOAT_EQ(d.reading.T[5], -0.0625f);
    EXPECT_FLOAT_EQ(quantizeKind1(r).T[5], -0.0625f);
    r.T[5] = 40.0f;
    EXPECT_FLOAT_EQ(decode(encodeKind1(r)).reading.T[5], 64.0f);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(d.reading.T[i], 20.0f);
}

TEST(SimRecords, UnitTemperatureAndVoltsInEachLayout) {
    struct Case {
        float temp;
        float volts;
        std::uint8_t pwrFail;
    };
    for (const Case& c : std::vector<Case>{{-20.25f, 2.2f, 0}, {0.0f, 3.4f, 0}, {45.5f, 4.1f, 0}, {21.5f, 3.1f, 1}}) {
        ProbeReading r = reading(9, "2011-11-11 11:11", c.temp, 10.0f, 10.0f, c.volts);
        r.pwrFail = c.pwrFail;
        auto k1 = decode(encodeKind1(r)).reading;
        EXPECT_NEAR(k1.Temp, c.temp, 1.0 / 32);
        if (c.pwrFail) {
            EXPECT_FLOAT_EQ(k1.Volts, 999.0f);
            EXPECT_EQ(k1.pwrFail, 1);
        } else {
            EXPECT_FLOAT_EQ(k1.Volts, c.volts);
            EXPECT_EQ(k1.pwrFail, 0);
        }
        auto k0 = decode(encodeKind0(r)).reading;
        EXPECT_NEAR(k0.Temp, c.temp, 1.0 / 512);
        EXPECT_NEAR(k0.Volts, c.volts, 1e-5);
        EXPECT_EQ(k0.pwrFail, c.pwrFail);
    }
}

TEST(SimRecords, NonReadingRecordsDecodeToTheirMarkers) {
    struct Case {
        const char* name;
        Record r;
        RecordClass single;  // record read one by one
        RecordClass bulk;    // record from the bulk stream
    };
    ProbeReading r = reading(321, "2012-03-04 12:34", 21.5f, 18.5f, 25.5f, 3.6f);
    std::vector<Case> cases = {
        {"probe settings", encodeProbeSettings(321, 5), RecordClass::ProbeSettings, RecordClass::Skipped},
        {"repeater settings", encodeRepeaterSettings(321, 6), RecordClass::RepeaterSettings, RecordClass::Skipped},
        {"bad check kind 1", withBadCheck(encodeKind1(r)), RecordClass::CrcError, RecordClass::CrcError},
        {"bad check kind 0", withBadCheck(encodeKind0(r)), RecordClass::CrcError, RecordClass::CrcError},
        {"zero", zeroRecord(), RecordClass::CrcError, RecordClass::CrcError},
        {"unsealed kind 0", encodeKind0(r, false), RecordClass::Reading, RecordClass::CrcError},
    };
    for (int k : {3, 6, 9, 15})
        cases.push_back({"unknown kind", encodeUnknownKind(k, 321, static_cast<std::uint32_t>(k)), RecordClass::InvalidKind,
                         RecordClass::Skipped});
    for (const auto& c : cases) {
        auto d = decode(c.r);
        EXPECT_EQ(d.cls, c.single) << c.name;
        EXPECT_EQ(decodeBulk(c.r).cls, c.bulk) << c.name;
        if (c.single == RecordClass::InvalidKind) {
            EXPECT_EQ(d.kind, c.r[0] >> 4) << c.name;
        }
        if (c.r != zeroRecord()) {
            EXPECT_EQ(d.reading.probe, 321) << c.name;
        }
    }
    EXPECT_THROW(encodeUnknownKind(4, 1, 1), std::invalid_argument);
}

TEST(SimRecords, LoggerLayoutStoresTheKnownDepthBytes) {
    struct Case {
        float t, sm;
        std::uint8_t b0, b1, b2;
    };
    // Raw tenths of 0..51.1 degrees; negatives and values above 51.1 are
    // stored 50 degrees off, as the reader unwraps them.
    const std::vector<Case> cases = {
        {30.0f, 3.0f, 0x2C, 0x81, 0x2C},   // raw 300
        {-15.0f, 0.0f, 0x5E, 0x80, 0x00},  // raw 350
        {55.0f, 0.0f, 0x32, 0x00, 0x00},   // raw 50
        {0.0f, 163.83f, 0x00, 0x3F, 0xFF},
    };
    for (const auto& c : cases) {
        ProbeReading r = reading(0x123456, "2000-01-01 23:59:59", -1.0f, c.t, c.sm, 3.6f);
        Record b = encodeLoggerRecord(r);
        EXPECT_EQ(b[0], 0x12);
        EXPECT_EQ(b[1], 0x34);
        EXPECT_EQ(b[2], 0x56);
        EXPECT_EQ((b[5] << 24 | b[6] << 16 | b[7] << 8 | b[8]), 86399);
        EXPECT_EQ(b[9], 0xFF);  // -1 degree: 255 - 256
        EXPECT_EQ(b[10], 0x00);
        EXPECT_EQ(b[11], 36);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(b[12 + 3 * i], c.b0) << c.t;
            EXPECT_EQ(b[13 + 3 * i], c.b1) << c.t;
            EXPECT_EQ(b[14 + 3 * i], c.b2) << c.t;
        }
    }
}

TEST(SimRecords, GeneratorIsRealisticAndRepeatable) {
    const LocalTime now = parseLocalText("2014-06-15 14:07");
    ReadingGenerator a(3, now, 6), b(3, now, 6);
    auto ra = a.generate(400), rb = b.generate(400);
    ASSERT_EQ(ra.size(), 400u);
    bool below34 = false, below22 = false;
    for (std::size_t i = 0; i < ra.size(); ++i) {
        EXPECT_EQ(ra[i].time, rb[i].time);
        EXPECT_EQ(ra[i].T, rb[i].T);
        EXPECT_LT(ra[i].time, now);
        if (i) {
            EXPECT_LE(ra[i - 1].time, ra[i].time);
        }
        auto secs = deviceSeconds(ra[i].time);
        EXPECT_EQ(secs % (15 * 60), 0) << "off the 15-minute grid";
        for (float sm : ra[i].SM) EXPECT_TRUE(sm >= 0 && sm <= 100);
        below34 |= ra[i].Volts < 3.4f;
        below22 |= ra[i].Volts < 2.2f;
    }
    EXPECT_TRUE(below34);
    EXPECT_TRUE(below22);
    // No reading twice: each probe's times are distinct.
    std::set<std::pair<std::int32_t, std::int64_t>> seen;
    for (auto& r : ra) EXPECT_TRUE(seen.insert({r.probe, deviceSeconds(r.time)}).second);
    // The daily swing is visible at the top sensor and damped at the bottom one.
    auto probe = a.probes()[0];
    float hi0 = -100, lo0 = 100, hi5 = -100, lo5 = 100;
    for (int h = 0; h < 24; ++h) {
        auto r = a.readingAt(probe, now - std::chrono::hours{h});
        hi0 = std::max(hi0, r.T[0]), lo0 = std::min(lo0, r.T[0]);
        hi5 = std::max(hi5, r.T[5]), lo5 = std::min(lo5, r.T[5]);
    }
    EXPECT_GT(hi0 - lo0, 3.0f);
    EXPECT_LT(hi5 - lo5, hi0 - lo0);
}

}  // namespace
}  // namespace kvr::sim
