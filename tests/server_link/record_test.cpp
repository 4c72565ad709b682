// Decoding of the 32-byte records and the lines they write.
#include <gtest/gtest.h>

#include <sstream>

#include "core/devtime.h"
#include "core/server_record.h"
#include "files/record_rows.h"
#include "tests/core/temp_folder.h"
#include "tests/server_link/tiny_server.h"

namespace kvr::test {
namespace {

Record fromHex(const char* hex) {
    Record r{};
    std::istringstream in(hex);
    for (auto& b : r) {
        unsigned v;
        in >> std::hex >> v;
        b = static_cast<std::uint8_t>(v);
    }
    return r;
}

constexpr const char* kExample =
    "1A 00 7B 61 B3 B2 01 59 2B 00 4A 09 F6 4A 09 F6 4A 09 F6 4A 09 F6 4A 09 F6 4A 09 F6 00 11 E4 27";

// The example record with another byte 0 (kind, voltage code) and probe.
Record withCode(int byte0, int probe) {
    Record r = fromHex(kExample);
    r[0] = static_cast<std::uint8_t>(byte0);
    r[1] = static_cast<std::uint8_t>(probe >> 8);
    r[2] = static_cast<std::uint8_t>(probe);
    return sealed(r);
}

// Kind 0 with byte 0 = 0 and a probe number: the check is waived, so these
// need no valid CRC in record mode.
Record kind0(std::initializer_list<std::pair<int, int>> bytes) {
    Record r{};
    r[2] = 9;  // probe 9
    for (auto [at, v] : bytes) r[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(v);
    return r;
}

TEST(ServerRecord, Kind0Fields) {
    struct Case {
        const char* name;
        Record rec;
        std::size_t sensor;
        float T, SM;
    };
    const std::vector<Case> sensors = {
        {"wrap above 48", kind0({{12, 0xFA}, {13, 0x80}, {14, 0x00}}), 0, 0.6f, 0.0f},
        {"plain", kind0({{15, 0xE0}, {16, 0x01}, {17, 0xF4}}), 1, 22.4f, 5.0f},
        {"exactly 48", kind0({{18, 0xE0}, {19, 0x80}}), 2, 48.0f, 0.0f},
        {"48.1 wraps below 0", kind0({{21, 0xE1}, {22, 0x80}}), 3, -1.9f, 0.0f},
        {"water top bits", kind0({{27, 0x00}, {28, 0xFF}, {29, 0xFF}}), 5, 25.6f, 327.67f},
    };
    for (const auto& c : sensors) {
        SCOPED_TRACE(c.name);
        const DecodedRecord d = decodeRecord(c.rec);
        ASSERT_EQ(d.cls, RecordClass::Reading);
        EXPECT_NEAR(d.reading.T[c.sensor], c.T, 1e-5);
        EXPECT_NEAR(d.reading.SM[c.sensor], c.SM, 1e-4);
    }
    for (const auto& [hi, lo, temp] : {std::tuple{0x80, 0x00, 128.0f}, {0x80, 0x01, -127.99609375f}, {0x15, 0x80, 21.5f}})
        EXPECT_FLOAT_EQ(decodeRecord(kind0({{9, hi}, {10, lo}})).reading.Temp, temp) << hi << " " << lo;
    const DecodedRecord p = decodeRecord(kind0({{11, 0xA4}, {3, 0x01}, {4, 0x02}, {8, 0x7F}, {30, 0x12}, {31, 0x34}}));
    EXPECT_EQ(std::tuple(p.reading.pwrFail, p.reading.Volts, p.reading.recNo, p.reading.counter, p.reading.time),
              std::tuple(1, 3.6f, 0x0102, 0x1234, makeLocal(2000, 1, 1, 0, 2, 7)));
    const DecodedRecord day = decodeRecord(kind0({{6, 0x01}, {7, 0x51}, {8, 0x7F}}));  // 86399 s
    EXPECT_EQ(day.reading.time, makeLocal(2000, 1, 1, 23, 59, 59));
}

TEST(ServerRecord, Kind1SensorsAndTopBits) {
    auto rec = [](int byte9, int b0, int b1) {
        Record r = fromHex(kExample);
        r[9] = static_cast<std::uint8_t>(byte9);
        for (std::size_t i = 0; i < 6; ++i) {
            r[10 + 3 * i] = static_cast<std::uint8_t>(b0);
            r[11 + 3 * i] = static_cast<std::uint8_t>(b1);
        }
        return sealed(r);
    };
    struct Case {
        const char* name;
        int byte9, b0, b1;
        std::array<float, 6> T;
    };
    const std::vector<Case> cases = {
        {"no top bits", 0x00, 0x40, 0x00, {16, 16, 16, 16, 16, 16}},
        {"all top bits", 0x1F, 0x40, 0x00, {80, 80, 80, 80, 80, 80}},
        {"last bit serves two sensors", 0x10, 0x40, 0x00, {16, 16, 16, 16, 80, 80}},
        {"first bit only", 0x01, 0x40, 0x00, {80, 16, 16, 16, 16, 16}},
        {"fourth bit only", 0x08, 0x40, 0x00, {16, 16, 16, 80, 16, 16}},
        {"wraps above 90", 0x1F, 0x80, 0x00, {-32, -32, -32, -32, -32, -32}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodedRecord d = decodeRecord(rec(c.byte9, c.b0, c.b1));
        ASSERT_EQ(d.cls, RecordClass::Reading);
        for (std::size_t i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(d.reading.T[i], c.T[i]) << i;
    }
    // Bits 5..7 of byte 9 belong to the unit temperature: 0x2B 0xE0 -> 0x15F0 >> .. = 21.9375.
    Record r = fromHex(kExample);
    r[9] = 0xE0;
    const DecodedRecord t = decodeRecord(sealed(r));
    EXPECT_FLOAT_EQ(t.reading.Temp, static_cast<float>((0x2BE0 >> 1 & ~0xF) / 256.0));
    EXPECT_FLOAT_EQ(t.reading.T[0], 18.5f);
    // Voltage codes at the ends of the table and the three flag values.
    for (const auto& [code, volts] : {std::pair{0, 2.2f}, {12, 4.1f}, {13, 997.0f}, {14, 998.0f}, {15, 999.0f}}) {
        r = fromHex(kExample);
        r[0] = static_cast<std::uint8_t>(0x10 | code);
        const DecodedRecord d = decodeRecord(sealed(r));
        EXPECT_EQ(d.reading.Volts, volts) << code;
        EXPECT_EQ(d.reading.pwrFail, code == 15) << code;
    }
}

TEST(ServerRecord, Classes) {
    Record k0Code5 = kind0({{0, 0x05}});
    Record bad = fromHex(kExample);
    bad[12] ^= 0x40;
    Record k0badInBulk = kind0({{31, 0x55}});
    struct Case {
        const char* name;
        Record rec;
        RecordClass record, bulk;
    };
    const std::vector<Case> cases = {
        {"all zero", Record{}, RecordClass::CrcError, RecordClass::CrcError},
        {"bad check", bad, RecordClass::CrcError, RecordClass::CrcError},
        {"kind 0 code 5, bad check", k0Code5, RecordClass::CrcError, RecordClass::CrcError},
        {"kind 0 code 5, good check", sealed(k0Code5), RecordClass::Reading, RecordClass::Skipped},
        {"kind 0 waived check", k0badInBulk, RecordClass::Reading, RecordClass::CrcError},
        {"kind 0 sealed", sealed(kind0({})), RecordClass::Reading, RecordClass::Reading},
        {"kind 1 probe 0", withCode(0x1A, 0), RecordClass::Reading, RecordClass::Skipped},
        {"kind 2", withCode(0x2A, 5), RecordClass::DumpOnly, RecordClass::DumpOnly},
        {"kind 3", withCode(0x3A, 5), RecordClass::InvalidKind, RecordClass::Skipped},
        {"kind 4", withCode(0x40, 5), RecordClass::ProbeSettings, RecordClass::Skipped},
        {"kind 5", withCode(0x50, 5), RecordClass::RepeaterSettings, RecordClass::Skipped},
        {"kind 15", withCode(0xF0, 5), RecordClass::InvalidKind, RecordClass::Skipped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeRecord(c.rec).cls, c.record);
        EXPECT_EQ(decodeBulkRecord(c.rec).cls, c.bulk);
    }
}

TEST(ServerRecord, LinesWritten) {
    const std::string dumpHeader = std::string(kMartenDumpHeader) + "\r\n";
    const std::string dataHeader = std::string(kDataHeader) + "\r\n";
    const std::string six = ",18.50,25.50,18.50,25.50,18.50,25.50,18.50,25.50,18.50,25.50,18.50,25.50";
    const std::string sixData = ", 18.5, 025.50, 18.5, 025.50, 18.5, 025.50, 18.5, 025.50, 18.5, 025.50, 18.5, 025.50";
    const std::string zeros = ",0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00";
    struct Case {
        const char* name;
        Record rec;
        std::string dump, data;
        int lowCount;
    };
    const std::vector<Case> cases = {
        {"example", fromHex(kExample), "123,  345 ,2012/03/04 12:34:00" + six + ",21.50,3.6,,17\r\n",
         "00123, 2012/03/04 12:34:00" + sixData + ",3.6\r\n", 0},
        {"low volts", withCode(0x17, 77), "77,  345 ,2012/03/04 12:34:00" + six + ",21.50,3.1,,17\r\n",
         "00077, 2012/03/04 12:34:00" + sixData + ",3.1\r\n", 1},
        {"3.4 is not low", withCode(0x18, 77), "77,  345 ,2012/03/04 12:34:00" + six + ",21.50,3.4,,17\r\n",
         "00077, 2012/03/04 12:34:00" + sixData + ",3.4\r\n", 0},
        {"power fail", withCode(0x1F, 77), "77,  345 ,2012/03/04 12:34:00" + six + ",21.50,999.0,1,17\r\n",
         "00077, 2012/03/04 12:34:00" + sixData + ",999.0\r\n", 0},
        {"kind 2", withCode(0x27, 8), "8,  345 ,2012/03/04 12:34:00" + zeros + ",0.00,3.1,,17\r\n", "", 1},
        {"all zero", Record{}, "!  0 ,CRC error\r\n", "", 0},
        {"probe settings", withCode(0x40, 123), "!  123 ,Probe settings\r\n", "", 0},
        {"repeater settings", withCode(0x5C, 123), "!  123 ,Repeater settings\r\n", "", 0},
        {"invalid kind", withCode(0x70, 9), "?  9 ,Invalid data  7 \r\n", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder tmp;
        RunFiles files;
        ASSERT_TRUE(files.open(tmp.path(), Program::Marten, makeLocal(2012, 3, 4)));
        LowBatteryList low;
        EXPECT_TRUE(writeRecord(decodeRecord(c.rec), files, low));
        ASSERT_TRUE(files.close());
        EXPECT_EQ(readFile(dumpFilePath(tmp.path(), 0)), dumpHeader + c.dump);
        EXPECT_EQ(readFile(dataFilePath(tmp.path())), dataHeader + c.data);
        EXPECT_EQ(low.count(), c.lowCount);
    }
}

}  // namespace
}  // namespace kvr::test
