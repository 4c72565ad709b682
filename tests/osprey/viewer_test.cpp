// The viewer's reading of the data files, de-duplication, gaps, reduction
// and tidy export. Expected values are written out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/core/temp_folder.h"
#include "viewer/probe_views.h"

namespace kvr::test {
namespace {

using namespace kvr::viewer;
namespace fs = std::filesystem;

struct LineCase {
    const char* what;
    std::string line;
    LineKind kind;
    int probe = 0;
    const char* time = "";
    int temp1 = 0, water6 = 0, volts = 0, powerFail = 0;
    bool depths = true;
};

TEST(OspreyReader, EachLayoutAndEveryKindOfForeignLine) {
    const std::string marten = "00123, 2012/03/04 12:34:00, 18.5, 025.50, 18.5, 025.50, 18.5, 025.50, 18.5, "
                               "025.50, 18.5, 025.50, 18.5, 025.51,3.6";
    const LineCase cases[] = {
        {"Marten running row", marten, LineKind::Row, 123, "2012/03/04 12:34:00", 1850, 2551, 360},
        {"Otter running row: blank before the volts, negative temperature",
         "04711, 2026/12/31 23:59:59, -01.5, 100.00, 00.0, 000.00, 00.0, 000.00, 00.0, 000.00, 00.0, 000.00, 00.0, "
         "327.67, 3.1",
         LineKind::Row, 4711, "2026/12/31 23:59:59", -150, 32767, 310},
        {"running row with the power-fail code for volts",
         "00007, 2000/01/02 00:00:00, 01.0, 001.00, 01.0, 001.00, 01.0, 001.00, 01.0, 001.00, 01.0, 001.00, 01.0, "
         "002.00,999.0",
         LineKind::Row, 7, "2000/01/02 00:00:00", 100, 200, 99900, 1},
        {"Marten dump row: empty flag, counter",
         "123,  345 ,2012/03/04 12:34:00,18.50,25.50,18.50,25.50,18.50,25.50,18.50,25.50,18.50,25.50,18.56,5.25,"
         "21.50,3.6,,17",
         LineKind::Row, 123, "2012/03/04 12:34:00", 1850, 525, 360},
        {"Heron dump row: flag 1, empty counter",
         "12,  3456 ,2014/05/21 13:45:00,20.10,30.20,1.00,2.00,1.00,2.00,1.00,2.00,1.00,2.00,1.00,2.00,22.00,3.5,1,",
         LineKind::Row, 12, "2014/05/21 13:45:00", 2010, 200, 350, 1},
        {"dump row of a reading without depth values",
         "9,  1 ,2012/03/04 12:00:00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,2.9,,",
         LineKind::Row, 9, "2012/03/04 12:00:00", kNoValue, kNoValue, 290, 0, false},
        {"running header", "Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,Temp5,"
                           "Water%5,Temp6,Water%6,Volts", LineKind::Note},
        {"Heron's first dump line", "Date - 07/12/2026 10:00", LineKind::Note},
        {"check-failure marker", "!  123 ,CRC error", LineKind::Note},
        {"unknown-kind marker", "?  5 ,Invalid data  7 ", LineKind::Note},
        {"blank line", "   ", LineKind::Blank},
        {"row cut after 14 fields", marten.substr(0, marten.rfind(',')), LineKind::Skipped},
        {"row cut inside the volts", marten.substr(0, marten.size() - 1), LineKind::Skipped},
        {"two rows glued", marten + marten, LineKind::Skipped},
        {"rows glued after a cut", marten.substr(0, 60) + marten, LineKind::Skipped},
        {"30 February", "00123, 2012/02/30 12:34:00" + marten.substr(26), LineKind::Skipped},
        {"letters in a value", "00123, 2012/03/04 12:34:00, 18.5, 0x5.50" + marten.substr(40), LineKind::Skipped},
        {"dump flag that is no flag",
         "12,  1 ,2014/05/21 13:45:00,1.00,2.00,1.00,2.00,1.00,2.00,1.00,2.00,1.00,2.00,1.00,2.00,22.00,3.5,yes,",
         LineKind::Skipped},
        {"text", "this is not a data file", LineKind::Skipped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reading r;
        ASSERT_EQ(parseLine(c.line, r), c.kind);
        if (c.kind != LineKind::Row) continue;
        int64_t t;
        ASSERT_TRUE(parseDateTime(c.time, t));
        EXPECT_EQ(r.probe, c.probe);
        EXPECT_EQ(r.time, t);
        EXPECT_EQ(r.temp[0], c.temp1);
        EXPECT_EQ(r.water[5], c.water6);
        EXPECT_EQ(r.volts, c.volts);
        EXPECT_EQ(r.powerFail, c.powerFail);
        EXPECT_EQ(r.hasDepths(), c.depths);
    }
}

std::string row(int probe, const char* when, const char* water1, const char* volts = "3.6") {
    char b[200];
    std::snprintf(b, sizeof b,
                  "%05d, %s, 10.0, %s, 11.0, 020.00, 12.0, 020.00, 13.0, 020.00, 14.0, 020.00, 15.0, 020.00,%s",
                  probe, when, water1, volts);
    return b;
}

TEST(OspreyFiles, RunsHeadersDuplicatesAndBrokenLinesAcrossFiles) {
    TempFolder dir;
    const std::string h = "Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,"
                          "Temp5,Water%5,Temp6,Water%6,Volts\r\n";
    // Two runs in CR LF; the second collects 2 and 3 again (a device not
    // cleared) and a header sits in the middle; a killed run left a cut row
    // glued to the next one; the last row has no line end.
    writeFile(dir / "KVR Probe Data.csv",
          h + row(2, "2012/03/04 10:15:00", "031.00") + "\r\n" + row(1, "2012/03/04 10:00:00", "030.00") + "\r\n" +
              row(2, "2012/03/04 10:00:00", "032.00") + "\r\n" + h + row(2, "2012/03/04 10:00:00", "033.00") +
              "\r\n" + row(3, "2012/03/04 10:00:00", "040.00").substr(0, 70) +
              row(3, "2012/03/04 10:30:00", "041.00") + "\r\n" + row(2, "2012/03/04 10:30:00", "034.00"));
    // Dump file in LF with the reading of probe 1 again: read later, it wins.
    writeFile(dir / "KVR Dumps/Dump00.csv",
          "Probe ,RecNo,Date               ,T1,SM1,T2,SM2,T3,SM3,T4,SM4,T5,SM5,T6,SM6,Temp,Volts,PwrFail\n"
          "1,  7 ,2012/03/04 10:00:00,10.00,35.00,11.00,20.00,12.00,20.00,13.00,20.00,14.00,20.00,15.00,20.00,"
          "20.00,3.3,1,9\n!  0 ,CRC error\n");
    writeFile(dir / "empty.csv", "");
    std::string binary = "PK\x03\x04";
    for (int i = 0; i < 3000; ++i) binary += static_cast<char>((i * 37) % 256);
    writeFile(dir / "not.csv", binary);

    auto files = folderFiles(dir.path(), true);
    ASSERT_EQ(files.size(), 2u);
    files.push_back(dir / "empty.csv");
    files.push_back(dir / "not.csv");
    files.push_back(dir / "missing.csv");
    const ProbeData d = loadProbeData(files);

    // probe, time, water at depth 1, volts, power fail
    using Row = std::tuple<int, std::int64_t, int, int, int>;
    std::vector<Row> got, want;
    for (const auto& r : d.readings) got.emplace_back(r.probe, r.time, r.water[0], r.volts, r.powerFail);
    for (auto [probe, time, water1, volts, powerFail] : {std::tuple{1, "2012/03/04 10:00:00", 3500, 330, 1},
                                                         {2, "2012/03/04 10:00:00", 3300, 360, 0},
                                                         {2, "2012/03/04 10:15:00", 3100, 360, 0},
                                                         {2, "2012/03/04 10:30:00", 3400, 360, 0}}) {
        std::int64_t t = 0;
        ASSERT_TRUE(parseDateTime(time, t));
        want.emplace_back(probe, t, water1, volts, powerFail);
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(d.duplicates, 2u);
    // Probe 3's only whole row was the glued one: no probe 3.
    ASSERT_EQ(d.probes.size(), 2u);
    EXPECT_EQ(d.find(3), nullptr);
    // rows, notes (headers and markers), skipped, error per file; the binary
    // file is skipped in however many lines its bytes make (at least one).
    std::vector<std::tuple<std::size_t, std::size_t, std::size_t, bool>> counts;
    for (const auto& f : d.files)
        counts.emplace_back(f.rows, f.notes, f.path == files[3] ? std::min<std::size_t>(f.skipped, 1) : f.skipped,
                            !f.error.empty());
    EXPECT_EQ(counts, (decltype(counts){{5, 2, 1, false}, {1, 2, 0, false}, {0, 0, 0, false}, {0, 0, 1, false},
                                        {0, 0, 0, true}}));
    // A large file is read in two parts at once: wherever the cut falls (in
    // a row, a CR LF, the glued line, the unended last line), every line is
    // read once.
    const auto whole = fs::file_size(files[0]);
    for (std::uint64_t cut = 0; cut <= whole; ++cut) {
        std::vector<Reading> rows;
        FileReport a, b;
        readFileRange(files[0], 0, cut, rows, a);
        readFileRange(files[0], cut, whole, rows, b);
        SCOPED_TRACE(cut);
        ASSERT_EQ(rows.size(), 5u);
        EXPECT_EQ(rows[1].probe, 1);
        EXPECT_EQ(rows[4].water[0], 3400);
        EXPECT_EQ(a.notes + b.notes, 2u);
        EXPECT_EQ(a.skipped + b.skipped, 1u);
    }
}

TEST(OspreyFiles, TidyExportIsByteExact) {
    TempFolder dir;
    // New Zealand: +13:00 in March (summer time), +12:00 in June.
    const char* oldTz = std::getenv("TZ");
    const std::string keep = oldTz ? oldTz : "";
    ::setenv("TZ", "NZST-12NZDT,M9.5.0,M4.1.0/3", 1);
    ::tzset();
    writeFile(dir / "KVR Probe Data.csv",
          row(5, "2012/06/01 08:00:00", "030.25", "999.0") + "\r\n" + row(12, "2012/03/04 12:34:00", "001.00") +
              "\r\n" + row(5, "2012/06/01 08:00:00", "030.50", "3.4") + "\r\n");
    writeFile(dir / "KVR Dumps/Dump00.csv",
          "12,  1 ,2012/03/04 12:30:00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,0.00,2.9,1,\n");
    const ProbeData d = loadProbeData(folderFiles(dir.path(), true));
    std::ostringstream out;
    LocalZone zone;
    writeTidy(out, d, zone);
    if (oldTz) ::setenv("TZ", keep.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
    // Six lines a reading, one per depth; row() writes temperature 9 + depth
    // and water 20 below the first depth.
    const struct {
        const char* head;
        bool depths;
        const char* water1;
        const char* tail;
    } readings[] = {{"5,2012-06-01T08:00:00+12:00,", true, "30.5", ",3.4,0\n"},
                    {"12,2012-03-04T12:30:00+13:00,", false, "", ",2.9,1\n"},
                    {"12,2012-03-04T12:34:00+13:00,", true, "1", ",3.6,0\n"}};
    std::string want = "probe,time,depth,temperature,water,volts,power_fail\n";
    for (const auto& r : readings)
        for (int depth = 1; depth <= 6; ++depth)
            want += r.head + std::to_string(depth) +
                    (r.depths ? "," + std::to_string(9 + depth) + "," + (depth > 1 ? "20" : r.water1) : ",,") + r.tail;
    EXPECT_EQ(out.str(), want);
}

TEST(OspreyGaps, StepsLongerThanThreeUsualIntervals) {
    struct Case { std::vector<int> steps; std::size_t gaps; };
    const Case cases[] = {
        {{900, 900, 900, 3600, 900, 900}, 1},      // four intervals missing
        {{900, 900, 900, 2700, 900, 900}, 0},      // exactly three: not a gap
        {{3600, 3600, 900, 900, 900, 900, 900}, 2}, // usual is the median, not the first step
        {{900}, 0},
    };
    for (const auto& c : cases) {
        std::vector<Reading> r(1);
        for (int s : c.steps) r.push_back(r.back()), r.back().time += s;
        EXPECT_EQ(findGaps(r).size(), c.gaps);
    }
}

TEST(OspreyReduce, KeepsEachColumnsFirstLastLowestHighestAgainstBruteForce) {
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        const int n = std::uniform_int_distribution<int>(0, 3000)(rng);
        std::vector<double> x(static_cast<std::size_t>(n)), y(x.size());
        double at = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            at += std::uniform_int_distribution<int>(0, 3)(rng);  // repeated x too
            x[i] = at;
            y[i] = rng() % 13 == 0 ? NAN : std::uniform_int_distribution<int>(-50, 50)(rng);
        }
        const double from = std::uniform_real_distribution<double>(-10, at / 2)(rng);
        const double to = from + std::uniform_real_distribution<double>(1, at + 10)(rng);
        const int columns = std::uniform_int_distribution<int>(1, 300)(rng);
        std::vector<Point> out;
        reduce(x, y, from, to, columns, out);

        auto kept = [&](std::size_t i) {
            return std::any_of(out.begin(), out.end(), [&](const Point& p) { return p.x == x[i] && p.y == y[i]; });
        };
        // Brute force: every point's column, found by a separate pass per column.
        std::size_t inRange = 0;
        for (int c = 0; c < columns; ++c) {
            const double a = from + (to - from) * c / columns, b = from + (to - from) * (c + 1) / columns;
            std::vector<std::size_t> in;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!std::isnan(y[i]) && x[i] >= a && (x[i] < b || (c == columns - 1 && x[i] <= to))) in.push_back(i);
            inRange += in.size();
            if (in.empty()) continue;
            double lo = y[in[0]], hi = y[in[0]];
            for (auto i : in) lo = std::min(lo, y[i]), hi = std::max(hi, y[i]);
            SCOPED_TRACE(testing::Message() << "round " << round << " column " << c);
            EXPECT_TRUE(kept(in.front()));
            EXPECT_TRUE(kept(in.back()));
            bool haveLo = false, haveHi = false;
            for (const auto& p : out)
                if (p.x >= a && p.x <= b) haveLo |= p.y == lo, haveHi |= p.y == hi;
            EXPECT_TRUE(haveLo && haveHi);
        }
        // The nearest drawable points outside lead the line to the edges.
        for (std::size_t i = x.size(); i-- > 0;)
            if (!std::isnan(y[i]) && x[i] < from) {
                EXPECT_TRUE(kept(i));
                break;
            }
        for (std::size_t i = 0; i < x.size(); ++i)
            if (!std::isnan(y[i]) && x[i] > to) {
                EXPECT_TRUE(kept(i));
                break;
            }
        EXPECT_LE(out.size(), std::min<std::size_t>(inRange, 4u * columns) + 2);
        for (std::size_t k = 1; k < out.size(); ++k) EXPECT_LE(out[k - 1].x, out[k].x);
    }
}

}  // namespace
}  // namespace kvr::test
