// Block and ring downloads: rows in the running file, the ring walk, record
// decoding, write failures, and Marten's block-by-block download.
#include "core/devtime.h"
#include "core/server_record.h"
#include "files/record_rows.h"
#include "files/running_file.h"
#include "tests/logger_link/rig.h"

namespace kvr::test {
namespace {

// Every row an ordinary logger holds reaches the running file once, in order,
// through odd blocks and lengths; a file that cannot be written is reported.
// Each layout whole, its ring wrapping, and noisy, corrupt and misdirected
// answers are held byte for byte by the end-to-end runs and the fault matrix.
TEST(LoggerDownload, OrdinaryRows) {
    struct DownloadCase {
        const char* name;
        std::vector<std::string> args;
        bool unwritable = false;
    };
    const std::vector<DownloadCase> cases = {
        {"ordinary, data block before any header", {"--orphan-block"}},
        {"ordinary, one probe", {"--probes", "1", "--readings", "13"}},
        {"ordinary, overlong announced lengths", {"--bad-length-every", "6"}},
        {"ordinary, unwritable folder", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        sim::Logger dev(loggerOptions(c.args));
        Rig rig(&dev);
        std::ofstream(dir.path / "plain") << "x";
        RunningFile file(c.unwritable ? dir.path / "plain" / "sub" : dir.path);  // no folder under a file
        rig.link.GetStatus();
        ASSERT_FALSE(rig.state.CommsError);
        const bool ok = rig.link.GetData(file).kept;
        if (c.unwritable) {
            EXPECT_FALSE(ok);
            EXPECT_NE(file.failure().find("KVR Probe Data.csv"), std::string::npos) << file.failure();
            continue;
        }
        EXPECT_TRUE(ok) << file.failure();
        EXPECT_FALSE(rig.state.CommsError);
        ASSERT_FALSE(dev.expectedRows().empty());
        std::string want = std::string(kDataHeader) + "\r\n";
        for (auto& r : dev.expectedRows()) want += r;
        EXPECT_EQ(readFile(dataFilePath(dir.path)), want);
        EXPECT_EQ(rig.screen.events.back(), "Data download completed.");
        EXPECT_EQ(rig.screen.progress.back(), 0);
    }
}

TEST(LoggerDownload, OrdinaryLabelsAndProgress) {
    TempDir dir;
    sim::Logger dev(loggerOptions({"--probes", "2", "--readings", "10"}));
    Rig rig(&dev);
    RunningFile file(dir.path);
    rig.link.GetStatus();
    // Per probe: header, 4 records, "same probe" header, 1 record.
    ASSERT_EQ(rig.state.NumReadings, 8);
    rig.screen.events.clear();
    rig.screen.progress.clear();
    ASSERT_TRUE(rig.link.GetData(file).kept);
    ASSERT_EQ(dev.expectedRows().size(), 10u);
    auto probeOf = [](const std::string& row) { return std::to_string(std::stoi(row.substr(0, row.find(',')))); };
    const std::string a = probeOf(dev.expectedRows()[0]), b = probeOf(dev.expectedRows()[5]);
    ASSERT_NE(a, b);
    // The reading count restarts with each new probe, not at a "same probe" header.
    EXPECT_EQ(rig.screen.events,
              (std::vector<std::string>{"Requesting probe readings ...",
                                        "Dumping data ... probe " + a + " reading number 0.",
                                        "Dumping data ... probe " + a + " reading number 4.",
                                        "Dumping data ... probe " + b + " reading number 0.",
                                        "Dumping data ... probe " + b + " reading number 4.",
                                        "Data download completed."}));
    EXPECT_EQ(rig.screen.progress, (std::vector<int>{12, 25, 37, 50, 62, 75, 87, 100, 0}));
}

TEST(LoggerDownload, BlockAnswersForAnotherBlock) {
    struct Case {
        const char* name;
        int wrongAnswers;
        std::size_t requests;
        bool error;
    };
    for (const Case& c : {Case{"three wrong, then the block", 3, 4, false}, Case{"always wrong", 9, 4, true},
                          Case{"none wrong", 0, 1, false}}) {
        SCOPED_TRACE(c.name);
        auto block = [](int n) {
            std::vector<std::uint8_t> d{0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 0, 0};
            d.resize(133, 0x11);
            return answer(d);
        };
        std::vector<Bytes> replies(static_cast<std::size_t>(c.wrongAnswers), block(65));
        replies.push_back(block(64));
        Rig rig(replies);
        rig.link.GetProbeDataBlock(64);
        EXPECT_EQ(rig.script.requests.size(), c.requests);
        EXPECT_EQ(rig.state.CommsError, c.error);
    }
}

// The walk ends whatever the pointers say; pointers outside the ring are
// turned away before a block is read or the file touched; a block holding
// four records is fetched once.
TEST(LoggerRing, WalkEndsWhateverThePointers) {
    struct BoundCase {
        const char* name;
        std::int32_t next, end, slots;
        std::size_t blocksFetched;
        bool error;
    };
    const std::vector<BoundCase> cases = {
        {"wrapping walk", 10, 3, 12, 2, false},
        {"end beyond the ring", 5, 70, 64, 0, true},
        {"next beyond the ring", 70, 3, 64, 0, true},
        {"end equal to the slot count", 0, 64, 64, 0, true},
        {"no slots, something to read", 0, 3, 0, 0, true},
        {"no slots, nothing to read", 0, 0, 0, 0, true},
        {"negative next", -4, 3, 64, 0, true},
        {"full consistent ring", 3, 2, 64, 17, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        sim::Logger dev(loggerOptions({"--type", "extended"}));
        Rig rig(&dev);
        RunningFile file(dir.path);
        rig.link.ExtendedStatus = true;
        rig.state.NextRecord = c.next;
        rig.state.EndRecord = c.end;
        rig.state.RecordSlots = c.slots;
        rig.state.NumReadings = 5;
        rig.state.CommsError = false;
        const auto walk = rig.link.GetRadioData(file);
        EXPECT_TRUE(walk.kept);
        EXPECT_EQ(rig.state.CommsError, c.error);
        EXPECT_EQ(walk.ringInconsistent, c.error);
        EXPECT_EQ(rig.frames().size(), c.blocksFetched);
        EXPECT_EQ(std::filesystem::exists(dataFilePath(dir.path)), !c.error);
    }
}

// Records from the future (by the clock at each record) and outside the
// probe numbers 1..199999 are not written; empty slots are skipped.
TEST(LoggerRing, DropsFutureAndUnknownProbes) {
    TempDir dir;
    sim::Logger dev(loggerOptions({"--type", "server"}));
    Rig rig(&dev);
    RunningFile file(dir.path);
    const std::int64_t now = toDeviceSeconds(rig.clock.now());
    std::array<std::uint8_t, 128> b8{}, b9{};
    b9.fill(0xFF);  // empty slots
    auto put = [](std::array<std::uint8_t, 128>& b, int slot, std::int32_t probe, std::int64_t stamp) {
        auto* r = b.data() + 32 * slot;
        std::fill(r, r + 32, 0);
        for (int i = 0; i < 3; ++i) r[i] = static_cast<std::uint8_t>(probe >> (16 - 8 * i));
        for (int i = 0; i < 4; ++i) r[5 + i] = static_cast<std::uint8_t>(stamp >> (24 - 8 * i));
        r[9] = 20;
        r[11] = 36;
    };
    put(b8, 0, 199999, now - 1);   // kept
    put(b8, 1, 1, now + 1);        // future
    put(b8, 2, 0, now - 60);       // no such probe
    put(b8, 3, 200000, now - 60);  // no such probe
    put(b9, 1, 1, now - 60);       // kept
    dev.setBlock(8, b8);
    dev.setBlock(9, b9);
    rig.link.ServerFormat = rig.link.ExtendedStatus = true;
    rig.state.NextRecord = 0;
    rig.state.EndRecord = 8;
    rig.state.RecordSlots = 64;
    rig.state.CommsError = false;
    ASSERT_TRUE(rig.link.GetRadioData(file).kept);
    const std::string text = readFile(dataFilePath(dir.path));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_NE(text.find("\r\n199999, "), std::string::npos);
    EXPECT_NE(text.find("\r\n00001, "), std::string::npos);
}

TEST(LoggerRecord, DepthAndUnitTemperature) {
    struct DecodeCase {
        const char* name;
        std::uint8_t b0, b1, b2, unitHi, unitLo;
        float T, SM, R;
    };
    const std::vector<DecodeCase> cases = {
        {"raw 300 stays 30.0", 0x2C, 0x81, 0x2C, 20, 0, 30.0f, 3.0f, 20.0f},
        {"raw 300 stays 30.0 with a cold unit", 0x2C, 0x81, 0x2C, 0x02, 0x80, 30.0f, 3.0f, 2.5f},
        {"raw 350 with cold unit", 0x5E, 0x81, 0x2C, 0x02, 0x80, -15.0f, 3.0f, 2.5f},
        {"raw 350 with unit 20", 0x5E, 0x81, 0x2C, 20, 0, 35.0f, 3.0f, 20.0f},
        {"raw 50 with unit 45", 50, 0x00, 0x00, 45, 0, 55.0f, 0.0f, 45.0f},
        {"raw 50 with unit 40 stays", 50, 0x00, 0x00, 40, 0, 5.0f, 0.0f, 40.0f},
        {"unit bytes FF 00 are -1", 100, 0x7F, 0xFF, 0xFF, 0x00, 10.0f, 327.67f, -1.0f},
        {"raw 301 with unit -1 wraps down", 0x2D, 0x80, 0x00, 0xFF, 0x00, -19.9f, 0.0f, -1.0f},
        {"unit 128 is kept (and is hot)", 0, 0, 0, 0x80, 0x00, 50.0f, 0.0f, 128.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<std::uint8_t, 32> r{};
        r[0] = 0x01;
        r[1] = 0xE2;
        r[2] = 0x40;  // probe 123456
        r[8] = 59;    // 2000/01/01 00:00:59
        r[9] = c.unitHi;
        r[10] = c.unitLo;
        r[11] = 0xA4;  // 3.6 V, top bit ignored
        for (std::size_t d = 0; d < 6; ++d) std::copy_n(std::array{c.b0, c.b1, c.b2}.begin(), 3, r.begin() + 12 + 3 * d);
        auto rec = logger::decodeLoggerRecord(r.data());
        EXPECT_FALSE(rec.empty);
        EXPECT_EQ(rec.probe, 123456);
        EXPECT_EQ(rec.reading.time, makeLocal(2000, 1, 1, 0, 0, 59));
        EXPECT_FLOAT_EQ(rec.reading.Volts, 3.6f);
        EXPECT_NEAR(rec.reading.Temp, c.R, 1e-4);
        for (int d = 0; d < 6; ++d) {
            EXPECT_NEAR(rec.reading.T[static_cast<std::size_t>(d)], c.T, 1e-4);
            EXPECT_NEAR(rec.reading.SM[static_cast<std::size_t>(d)], c.SM, 1e-4);
        }
    }
}

// Marten reads a logger's block as four probe-server records: a reading,
// one failing its check, two zero records; an erased block writes nothing.
TEST(LoggerMarten, BlockOfServerRecords) {
    TempDir dir;
    sim::Logger dev(loggerOptions());
    const std::array<std::uint8_t, 32> kind1{0x1A, 0x00, 0x7B, 0x61, 0xB3, 0xB2, 0x01, 0x59, 0x2B, 0x00, 0x4A,
                                             0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6,
                                             0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x00, 0x11, 0xE4, 0x27};
    std::array<std::uint8_t, 128> b{};
    std::copy(kind1.begin(), kind1.end(), b.begin());
    std::copy(kind1.begin(), kind1.end(), b.begin() + 32);
    b[32 + 5] ^= 1;  // breaks the check
    dev.setBlock(64, b);
    b.fill(0xFF);
    dev.setBlock(65, b);
    Rig rig(&dev, LoggerVariant::Marten());

    RunFiles files;
    ASSERT_TRUE(files.open(dir.path, Program::Marten, rig.clock.now()));
    LowBatteryList low;
    rig.state.CommsError = false;
    const RecordSink sink = [&](const DecodedRecord& rec) { writeRecord(rec, files, low); };
    rig.link.GetData(1, sink);
    rig.link.GetData(2, sink);
    EXPECT_FALSE(rig.state.CommsError);
    ASSERT_TRUE(files.close());

    const std::string six = ",18.50,25.50,18.50,25.50,18.50,25.50,18.50,25.50,18.50,25.50,18.50,25.50";
    const std::string rows = "123,  345 ,2012/03/04 12:34:00" + six + ",21.50,3.6,,17\r\n" +
                             "!  123 ,CRC error\r\n!  0 ,CRC error\r\n!  0 ,CRC error\r\n";
    const std::string dump = readFile(dumpFilePath(dir.path, 0));
    ASSERT_GE(dump.size(), rows.size());
    EXPECT_EQ(dump.substr(dump.size() - rows.size()), rows);
    EXPECT_EQ(readFile(dataFilePath(dir.path)),
              std::string(kDataHeader) + "\r\n00123, 2012/03/04 12:34:00, 18.5, 025.50, 18.5, 025.50, 18.5, 025.50, "
                                         "18.5, 025.50, 18.5, 025.50, 18.5, 025.50,3.6\r\n");
    EXPECT_EQ(low.count(), 0);
    EXPECT_EQ(rig.frames().size(), 2u);
}

}  // namespace
}  // namespace kvr::test
