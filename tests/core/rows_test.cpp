// The lines of the probe data files, byte for byte, and the low-battery
// message built from the same readings.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/devtime.h"
#include "core/lowbatt.h"
#include "files/probe_files.h"

namespace kvr::test {
namespace {

// Probe 123, record 345, 2012-03-04 12:34, 18.5 degrees and 25.5 % at every
// depth, unit at 21.5, 3.6 V, no power failure, counter 17.
ProbeReading sampleReading() {
    ProbeReading r;
    r.probe = 123;
    r.recNo = 345;
    r.time = fromDeviceMinutes(6402994);
    r.T.fill(18.5f);
    r.SM.fill(25.5f);
    r.Temp = 21.5f;
    r.Volts = 3.6f;
    r.counter = 17;
    return r;
}

std::string repeat(const std::string& piece, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += piece;
    return s;
}

// The sample's rows themselves are held elsewhere: Marten's by the
// server-record tests, Heron's and Otter's by the end-to-end runs, whose
// services and simulators work out the rows on their own.
TEST(Rows, FieldVariants) {
    const struct {
        const char* name;
        void (*change)(ProbeReading&);
        Program program;
        std::string dump;  // the whole dump row
    } cases[] = {
        {"power fail, Heron", [](ProbeReading& r) { r.pwrFail = 1; }, Program::Heron,
         "123,  345 ,2012/03/04 12:34:00" + repeat(",18.50,25.50", 6) + ",21.50,3.6,1,17\r\n"},
        {"counter 0 is empty, record 0", [](ProbeReading& r) { r.counter = 0; r.recNo = 0; }, Program::Marten,
         "123,  0 ,2012/03/04 12:34:00" + repeat(",18.50,25.50", 6) + ",21.50,3.6,,\r\n"},
        {"negative record and unit temperature", [](ProbeReading& r) { r.recNo = -2; r.Temp = -127.99609375f; },
         Program::Marten, "123, -2 ,2012/03/04 12:34:00" + repeat(",18.50,25.50", 6) + ",-128.00,3.6,,17\r\n"},
        {"negative first depth", [](ProbeReading& r) { r.T[0] = -1.5f; }, Program::Marten,
         "123,  345 ,2012/03/04 12:34:00,-1.50,25.50" + repeat(",18.50,25.50", 5) + ",21.50,3.6,,17\r\n"},
        {"no depth values", [](ProbeReading& r) { r.T.fill(0); r.SM.fill(0); r.Temp = 0; }, Program::Marten,
         "123,  345 ,2012/03/04 12:34:00" + repeat(",0.00,0.00", 6) + ",0.00,3.6,,17\r\n"},
    };
    for (const auto& c : cases) {
        ProbeReading r = sampleReading();
        c.change(r);
        EXPECT_EQ(dumpRow(r, c.program), c.dump) << c.name;
    }
    ProbeReading r = sampleReading();
    r.T[0] = -1.5f;
    EXPECT_EQ(dataRow(r, Program::Marten),
              "00123, 2012/03/04 12:34:00, -01.5, 025.50" + repeat(", 18.5, 025.50", 5) + ",3.6\r\n");
}

// The running file's and Heron's headers are held byte for byte by the
// end-to-end runs; Marten's dump header is only held here. The marker lines
// are held by the server-record tests, which write every kind of them.
TEST(Rows, MartenDumpHeader) {
    EXPECT_STREQ(kMartenDumpHeader,
                 "Probe ,RecNo,Date               ,T1,SM1,T2,SM2,T3,SM3,T4,SM4,T5,SM5,T6,SM6,Temp,Volts,PwrFail");
}

TEST(LowBattery, ReportTexts) {
    const std::string intro = "The following units have low battery readings:\r";
    const struct {
        const char* name;
        std::vector<std::pair<std::int32_t, float>> calls;
        std::string text;
    } cases[] = {
        {"nothing reported", {}, ""},
        {"lowest voltage kept", {{5, 3.1f}, {5, 2.9f}, {5, 3.3f}}, intro + "5 (2.9V)"},
        {"2.2 itself kept", {{5, 2.2f}}, intro + "5 (2.2V)"},
        {"just under 2.2 ignored", {{5, 2.19f}}, ""},
        {"ignored reading does not lower a listed one", {{5, 3.0f}, {5, 1.0f}}, intro + "5 (3.0V)"},
        {"probe 0 and below not listed", {{3, 3.0f}, {0, 2.5f}, {-4, 2.5f}, {9, 2.35f}}, intro + "3 (3.0V), 9 (2.4V)"},
        {"first-report order", {{9, 3.0f}, {3, 2.5f}, {9, 2.4f}}, intro + "9 (2.4V), 3 (2.5V)"},
    };
    for (const auto& c : cases) {
        LowBatteryList list;
        for (auto [probe, v] : c.calls) list.AddLowVolts(probe, v);
        EXPECT_EQ(list.reportText(), c.text) << c.name;
    }
    // At most a hundred probes are listed; later ones take no earlier place.
    LowBatteryList list;
    for (int p = 1; p <= 101; ++p) list.AddLowVolts(p, 3.0f);
    list.AddLowVolts(500, 2.5f);
    std::string expected = intro;
    for (int p = 1; p <= 100; ++p) expected += (p > 1 ? ", " : "") + std::to_string(p) + " (3.0V)";
    EXPECT_EQ(list.reportText(), expected);
}

}  // namespace
}  // namespace kvr::test
