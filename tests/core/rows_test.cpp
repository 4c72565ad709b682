#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/devtime.h"
#include "files/probe_files.h"

namespace kvr {
namespace {

// The current-layout record used throughout: probe 123, record 345,
// 2012-03-04 12:34, 18.5 degrees and 25.5 % at every depth, unit at 21.5,
// 3.6 V, no power failure, counter 17.
ProbeReading sampleReading() {
    ProbeReading r;
    r.probe = 123;
    r.recNo = 345;
    r.time = fromDeviceMinutes(6402994);
    r.T.fill(18.5f);
    r.SM.fill(25.5f);
    r.Temp = 21.5f;
    r.Volts = 3.6f;
    r.pwrFail = 0;
    r.counter = 17;
    return r;
}

std::string repeat(const std::string& piece, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += piece;
    return s;
}

TEST(DumpRow, SampleRecordByteExact) {
    const std::string expected =
        "123,  345 ,2012/03/04 12:34:00" + repeat(",18.50,25.50", 6) + ",21.50,3.6,,17\r\n";
    EXPECT_EQ(dumpRow(sampleReading(), Program::Marten), expected);
}

TEST(DataRow, SampleRecordByteExact) {
    const std::string body = "00123, 2012/03/04 12:34:00" + repeat(", 18.5, 025.50", 6);
    EXPECT_EQ(dataRow(sampleReading(), Program::Marten), body + ",3.6\r\n");
    EXPECT_EQ(dataRow(sampleReading(), Program::Heron), body + ",3.6\r\n");
    EXPECT_EQ(dataRow(sampleReading(), Program::Otter), body + ", 3.6\r\n");
}

TEST(DumpRow, FieldVariants) {
    struct Case {
        const char* name;
        void (*change)(ProbeReading&);
        Program program;
        const char* expectedTail;  // from the Temp column to the line end
        const char* expectedHead;  // up to the date
    } cases[] = {
        {"marten flag set", [](ProbeReading& r) { r.pwrFail = 1; }, Program::Marten, ",21.50,3.6,1,17\r\n",
         "123,  345 ,"},
        {"heron flag clear", [](ProbeReading&) {}, Program::Heron, ",21.50,3.6,0,17\r\n", "123,  345 ,"},
        {"heron flag set", [](ProbeReading& r) { r.pwrFail = 1; }, Program::Heron, ",21.50,3.6,1,17\r\n",
         "123,  345 ,"},
        {"counter 0 leaves the last field empty", [](ProbeReading& r) { r.counter = 0; }, Program::Marten,
         ",21.50,3.6,,\r\n", "123,  345 ,"},
        {"record 0", [](ProbeReading& r) { r.recNo = 0; }, Program::Marten, ",21.50,3.6,,17\r\n", "123,  0 ,"},
        {"negative record", [](ProbeReading& r) { r.recNo = -2; }, Program::Marten, ",21.50,3.6,,17\r\n",
         "123, -2 ,"},
        {"power-fail voltage", [](ProbeReading& r) { r.Volts = 999; r.pwrFail = 1; }, Program::Marten,
         ",21.50,999.0,1,17\r\n", "123,  345 ,"},
        {"negative unit temperature", [](ProbeReading& r) { r.Temp = -127.99609375f; }, Program::Marten,
         ",-128.00,3.6,,17\r\n", "123,  345 ,"},
        {"counter 65535", [](ProbeReading& r) { r.counter = 65535; }, Program::Marten, ",21.50,3.6,,65535\r\n",
         "123,  345 ,"},
    };
    for (const auto& c : cases) {
        ProbeReading r = sampleReading();
        c.change(r);
        std::string row = dumpRow(r, c.program);
        EXPECT_TRUE(row.starts_with(c.expectedHead)) << c.name << ": " << row;
        EXPECT_TRUE(row.ends_with(c.expectedTail)) << c.name << ": " << row;
    }
}

TEST(Rows, NegativeTemperatureInBothFiles) {
    ProbeReading r = sampleReading();
    r.T[0] = -1.5f;
    EXPECT_NE(dumpRow(r, Program::Marten).find(",2012/03/04 12:34:00,-1.50,25.50,18.50,"), std::string::npos);
    EXPECT_NE(dataRow(r, Program::Marten).find(", 2012/03/04 12:34:00, -01.5, 025.50, 18.5,"), std::string::npos);
}

TEST(Rows, ReadingWithoutDepthValues) {
    ProbeReading r = sampleReading();
    r.T.fill(0);
    r.SM.fill(0);
    r.Temp = 0;
    EXPECT_EQ(dumpRow(r, Program::Marten),
              "123,  345 ,2012/03/04 12:34:00" + repeat(",0.00,0.00", 6) + ",0.00,3.6,,17\r\n");
}

TEST(Rows, WebLineExample) {
    ProbeReading r;
    r.probe = 12;
    r.recNo = 3456;
    r.time = makeLocal(2014, 5, 21, 13, 45);
    r.T[0] = 20.1f;
    r.SM[0] = 30.2f;
    EXPECT_TRUE(dumpRow(r, Program::Heron).starts_with("12,  3456 ,2014/05/21 13:45:00,20.10,30.20,0.00,"));
    EXPECT_TRUE(dataRow(r, Program::Heron).starts_with("00012, 2014/05/21 13:45:00, 20.1, 030.20, 00.0, 000.00"));
    // 19 fields, 18 separators; the last field is the (empty) counter.
    std::string row = dumpRow(r, Program::Heron);
    EXPECT_EQ(std::count(row.begin(), row.end(), ','), 18);
    EXPECT_TRUE(row.ends_with(",0.00,0.0,0,\r\n")) << row;
}

TEST(MarkerLine, Texts) {
    struct {
        Marker m;
        std::int64_t number, kind;
        const char* text;
    } cases[] = {
        {Marker::CrcError, 123, 0, "!  123 ,CRC error\r\n"},
        {Marker::CrcError, 0, 0, "!  0 ,CRC error\r\n"},
        {Marker::ProbeSettings, 65535, 0, "!  65535 ,Probe settings\r\n"},
        {Marker::RepeaterSettings, 9, 0, "!  9 ,Repeater settings\r\n"},
        {Marker::InvalidData, 123, 7, "?  123 ,Invalid data  7 \r\n"},
        {Marker::InvalidData, 1, 15, "?  1 ,Invalid data  15 \r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(markerLine(c.m, c.number, c.kind), c.text);
}

TEST(Headers, DatePaddedToTheValueWidth) {
    auto widthOfDate = [](const char* header) {
        std::string h = header;
        auto at = h.find("Date");
        return h.find(',', at) - at;
    };
    EXPECT_EQ(widthOfDate(kDataHeader), 19u);
    EXPECT_EQ(widthOfDate(kMartenDumpHeader), 19u);
    EXPECT_EQ(widthOfDate(kHeronDumpHeader), 35u);
    EXPECT_STREQ(kDataHeader,
                 "Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,"
                 "Temp5,Water%5,Temp6,Water%6,Volts");
    // Same columns in both dump headers, only the padding differs.
    std::string marten = kMartenDumpHeader, heron = kHeronDumpHeader;
    EXPECT_EQ(heron.replace(heron.find("Date"), 35, "Date" + std::string(15, ' ')), marten);
    EXPECT_TRUE(marten.ends_with(",T6,SM6,Temp,Volts,PwrFail"));
    EXPECT_TRUE(marten.starts_with("Probe ,RecNo,Date "));
}

TEST(Paths, DumpNumbersHaveTwoDigits) {
    std::filesystem::path f = "/p";
    EXPECT_EQ(dumpFilePath(f, 7), std::filesystem::path("/p/KVR Dumps/Dump07.csv"));
    EXPECT_EQ(dumpFilePath(f, 0), std::filesystem::path("/p/KVR Dumps/Dump00.csv"));
    EXPECT_EQ(dumpFilePath(f, 99), std::filesystem::path("/p/KVR Dumps/Dump99.csv"));
    EXPECT_EQ(dataFilePath(f), std::filesystem::path("/p/KVR Probe Data.csv"));
}

}  // namespace
}  // namespace kvr
