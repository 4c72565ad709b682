// Block and ring downloads: rows in the running file, the ring walk, record
// decoding, write failures, and Marten's block-by-block download.
#include "core/devtime.h"
#include "server_link/record.h"
#include "tests/logger_link/rig.h"

namespace kvr::test {
namespace {

using Type = sim::LoggerOptions::Type;

std::string expectedFile(const sim::Logger& dev) {
    std::string s = std::string(kDataHeader) + "\r\n";
    for (auto& r : dev.expectedRows()) s += r;
    return s;
}

struct DownloadCase {
    const char* name;
    Type type;
    std::vector<std::string> extraArgs;
};

TEST(LoggerDownload, RowsOfEachLayout) {
    const std::vector<DownloadCase> cases = {
        {"ordinary", Type::Ordinary, {}},
        {"ordinary, data block before any header", Type::Ordinary, {"--orphan-block"}},
        {"ordinary, one probe", Type::Ordinary, {"--probes", "1", "--readings", "13"}},
        {"extended", Type::Extended, {}},
        {"extended, ring wraps", Type::Extended, {"--slots", "40", "--next", "30", "--readings", "25"}},
        {"server", Type::Server, {}},
        {"server, noisy and corrupt answers", Type::Server, {"--noise", "7", "--corrupt-every", "4"}},
        {"extended, answers for another block", Type::Extended, {"--wrong-echo-every", "5"}},
        {"ordinary, overlong announced lengths", Type::Ordinary, {"--bad-length-every", "6"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Rig rig;
        std::vector<std::string> args{"--now", "2012-03-04 12:00:00", "--seed", "5"};
        args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
        auto o = sim::parseLoggerOptions(args);
        o.type = c.type;
        sim::Logger dev(o);
        rig.attach(&dev);
        rig.link.DumpFolder = dir.path;
        rig.link.GetStatus();
        ASSERT_FALSE(rig.state.CommsError);
        ASSERT_GT(rig.state.NumReadings, 0);
        bool ok = rig.link.ExtendedStatus ? rig.link.GetRadioData() : rig.link.GetData();
        EXPECT_TRUE(ok) << rig.link.writeFailure;
        EXPECT_FALSE(rig.state.CommsError);
        ASSERT_FALSE(dev.expectedRows().empty());
        EXPECT_EQ(readFile(dataFilePath(dir.path)), expectedFile(dev));
        EXPECT_EQ(rig.screen.events.back(), "Data download completed.");
        EXPECT_EQ(rig.screen.progress.back(), 0);
    }
}

TEST(LoggerDownload, OrdinaryLabelsAndProgress) {
    TempDir dir;
    Rig rig;
    sim::Logger dev(sim::parseLoggerOptions({"--probes", "2", "--readings", "10", "--now", "2012-03-04 12:00:00"}));
    rig.attach(&dev);
    rig.link.DumpFolder = dir.path;
    rig.link.GetStatus();
    // Per probe: header, 4 records, "same probe" header, 1 record.
    ASSERT_EQ(rig.state.NumReadings, 8);
    rig.screen.events.clear();
    rig.screen.progress.clear();
    ASSERT_TRUE(rig.link.GetData());
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
        Rig rig;
        ScriptDevice dev;
        auto block = [](int n) {
            std::vector<std::uint8_t> d{0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 0, 0};
            d.resize(133, 0x11);
            return answer(d);
        };
        for (int i = 0; i < c.wrongAnswers; ++i) dev.replies.push_back(block(65));
        dev.replies.push_back(block(64));
        rig.attach(&dev);
        rig.link.GetProbeDataBlock(64);
        EXPECT_EQ(dev.requests.size(), c.requests);
        EXPECT_EQ(rig.state.CommsError, c.error);
    }
}

TEST(LoggerDownload, FailedBlockSkipsTheRest) {
    TempDir dir;
    Rig rig;
    sim::Logger dev(sim::parseLoggerOptions({"--readings", "30", "--now", "2012-03-04 12:00:00"}));
    rig.attach(&dev);
    rig.link.DumpFolder = dir.path;
    rig.link.GetStatus();
    const int blocks = rig.state.NumReadings;
    rig.port.detach(1);  // the logger goes away after the status
    EXPECT_TRUE(rig.link.GetData());  // the file is fine; the comms are not
    EXPECT_TRUE(rig.state.CommsError);
    EXPECT_EQ(rig.screen.progress.size(), static_cast<std::size_t>(blocks + 1));
    EXPECT_EQ(readFile(dataFilePath(dir.path)), std::string(kDataHeader) + "\r\n");
}

TEST(LoggerRing, WalkFetchesOnlyWhenNeeded) {
    TempDir dir;
    Rig rig;
    // Positions 0..12 hold records collected earlier, all valid.
    sim::Logger dev(sim::parseLoggerOptions(
        {"--type", "extended", "--readings", "1", "--next", "40", "--now", "2012-03-04 12:00:00"}));
    rig.attach(&dev);
    rig.link.DumpFolder = dir.path;
    rig.link.ExtendedStatus = true;
    rig.state.NextRecord = 10;
    rig.state.EndRecord = 3;
    rig.state.RecordSlots = 12;
    rig.state.NumReadings = 5;
    rig.state.CommsError = false;
    ASSERT_TRUE(rig.link.GetRadioData());
    EXPECT_FALSE(rig.state.CommsError);
    std::vector<int> blocks;
    for (auto& f : rig.frames()) blocks.push_back(f[7] * 256 + f[8]);
    EXPECT_EQ(blocks, (std::vector<int>{66, 64}));
    // Positions 10, 11, 0, 1, 2 hold records the simulated logger dated in
    // the past; each gives one row.
    std::string file = readFile(dataFilePath(dir.path));
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1 + 5);
    EXPECT_EQ(rig.screen.events[1], "Dumping data ... 0/5.");
    EXPECT_EQ(rig.screen.events[5], "Dumping data ... 4/5.");
}

struct BoundCase {
    const char* name;
    std::int32_t next, end, slots;
    std::size_t blocksFetched;
    bool error;
};

TEST(LoggerRing, WalkEndsWhateverThePointers) {
    const std::vector<BoundCase> cases = {
        {"end beyond the ring", 5, 70, 64, 17, true},
        {"next beyond the ring", 70, 3, 64, 0, true},
        {"end equal to the slot count", 0, 64, 64, 16, true},
        {"no slots, something to read", 0, 3, 0, 0, true},
        {"no slots, nothing to read", 0, 0, 0, 0, false},
        {"negative next", -4, 3, 64, 0, true},
        {"full consistent ring", 3, 2, 64, 17, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Rig rig;
        sim::Logger dev(simOptions(Type::Extended));
        rig.attach(&dev);
        rig.link.DumpFolder = dir.path;
        rig.link.ExtendedStatus = true;
        rig.state.NextRecord = c.next;
        rig.state.EndRecord = c.end;
        rig.state.RecordSlots = c.slots;
        rig.state.NumReadings = 5;
        rig.state.CommsError = false;
        EXPECT_TRUE(rig.link.GetRadioData());
        EXPECT_EQ(rig.state.CommsError, c.error);
        EXPECT_EQ(rig.link.ringInconsistent, c.error);
        EXPECT_EQ(rig.frames().size(), c.blocksFetched);
    }
}

TEST(LoggerRing, DropsFutureAndUnknownProbes) {
    TempDir dir;
    Rig rig;
    sim::Logger dev(simOptions(Type::Server));
    rig.attach(&dev);
    rig.link.DumpFolder = dir.path;
    // Records the logger holds: future-dated, probe 0, probe 250000, empty.
    auto rec = [](std::int32_t probe, std::int64_t stamp) {
        std::array<std::uint8_t, 32> r{};
        r[0] = static_cast<std::uint8_t>(probe >> 16);
        r[1] = static_cast<std::uint8_t>(probe >> 8);
        r[2] = static_cast<std::uint8_t>(probe);
        for (int i = 0; i < 4; ++i) r[static_cast<std::size_t>(5 + i)] = static_cast<std::uint8_t>(stamp >> (24 - 8 * i));
        r[9] = 20;
        r[11] = 36;
        return r;
    };
    const std::int64_t now = toDeviceSeconds(rig.clock.now());
    std::array<std::uint8_t, 128> b{};
    auto put = [&](int slot, const std::array<std::uint8_t, 32>& r) { std::copy(r.begin(), r.end(), b.begin() + 32 * slot); };
    put(0, rec(199999, now - 1));  // kept
    put(1, rec(1, now + 1));       // future
    put(2, rec(0, now - 60));      // no such probe
    put(3, rec(200000, now - 60)); // no such probe
    dev.setBlock(8, b);
    std::array<std::uint8_t, 128> b2{};
    b2.fill(0xFF);  // empty slots
    std::copy_n(rec(1, now - 60).begin(), 32, b2.begin() + 32);
    dev.setBlock(9, b2);
    rig.link.ServerFormat = rig.link.ExtendedStatus = true;
    rig.state.NextRecord = 0;
    rig.state.EndRecord = 8;
    rig.state.RecordSlots = 64;
    rig.state.CommsError = false;
    ASSERT_TRUE(rig.link.GetRadioData());
    std::string file = readFile(dataFilePath(dir.path));
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 3);
    EXPECT_NE(file.find("\r\n199999, "), std::string::npos);
    EXPECT_NE(file.find("\r\n00001, "), std::string::npos);
}

TEST(LoggerDownload, WriteFailureIsReported) {
    TempDir dir;
    std::ofstream(dir.path / "plain") << "x";
    for (Type t : {Type::Ordinary, Type::Server}) {
        Rig rig;
        sim::Logger dev(simOptions(t));
        rig.attach(&dev);
        rig.link.DumpFolder = dir.path / "plain" / "sub";  // a folder under a file cannot exist
        rig.link.GetStatus();
        ASSERT_FALSE(rig.state.CommsError);
        bool ok = rig.link.ExtendedStatus ? rig.link.GetRadioData() : rig.link.GetData();
        EXPECT_FALSE(ok);
        EXPECT_NE(rig.link.writeFailure.find("KVR Probe Data.csv"), std::string::npos) << rig.link.writeFailure;
    }
}

struct DecodeCase {
    const char* name;
    std::uint8_t b0, b1, b2;
    std::uint8_t unitHi, unitLo;
    float T, SM, R;
};

TEST(LoggerRecord, DepthAndUnitTemperature) {
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
        for (int d = 0; d < 6; ++d) {
            r[static_cast<std::size_t>(12 + 3 * d)] = c.b0;
            r[static_cast<std::size_t>(13 + 3 * d)] = c.b1;
            r[static_cast<std::size_t>(14 + 3 * d)] = c.b2;
        }
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

TEST(LoggerProbeList, EntriesInOrder) {
    Rig rig;
    sim::Logger dev(simOptions(Type::Ordinary));
    auto b = dev.block(1);
    std::array<std::uint8_t, 16> e{0x00, 0x30, 0x39, 0x01, 0x02, 36};  // probe 12345, sample 258, 3.6 V
    std::copy(e.begin(), e.end(), b.begin() + 16);
    std::fill(b.begin() + 32, b.begin() + 48, 0xFF);
    dev.setBlock(1, b);
    rig.attach(&dev);
    std::int32_t id = 0;
    std::int16_t last = -1, wake = 0;
    float volts = 0;
    rig.link.GetProbeListRecord(0, id, last, wake, volts);
    EXPECT_GT(id, 0);
    wake = 0;
    rig.link.GetProbeListRecord(1, id, last, wake, volts);
    EXPECT_EQ(id, 12345);
    EXPECT_EQ(last, 258);
    EXPECT_EQ(wake, 1);
    EXPECT_FLOAT_EQ(volts, 3.6f);
    wake = 0;
    rig.link.GetProbeListRecord(2, id, last, wake, volts);
    EXPECT_EQ(id, -1);
    EXPECT_EQ(last, 258);  // an empty entry leaves the outputs alone
    EXPECT_EQ(wake, 0);
    EXPECT_EQ(rig.frames().size(), 1u);  // one block serves eight entries
}

TEST(LoggerMarten, BlockOfServerRecords) {
    TempDir dir;
    Rig rig(LoggerVariant::Marten());
    sim::Logger dev(simOptions(Type::Ordinary));
    // A kind-1 reading, a record failing its check, a probe settings record
    // and an empty slot, in block 64 + 1 - 1.
    const std::vector<std::uint8_t> kind1{0x1A, 0x00, 0x7B, 0x61, 0xB3, 0xB2, 0x01, 0x59, 0x2B, 0x00, 0x4A,
                                          0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6,
                                          0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x00, 0x11, 0xE4, 0x27};
    std::array<std::uint8_t, 128> b{};
    std::copy(kind1.begin(), kind1.end(), b.begin());
    std::copy(kind1.begin(), kind1.end(), b.begin() + 32);
    b[32 + 5] ^= 1;  // breaks the check
    b[32 + 0] = 0x1A;
    std::fill(b.begin() + 64, b.end(), 0);  // 32 zero bytes fail the check, twice
    dev.setBlock(64, b);
    auto erased = b;
    erased.fill(0xFF);
    dev.setBlock(65, erased);
    rig.attach(&dev);

    RunFiles files;
    ASSERT_TRUE(files.open(dir.path, Program::Marten, rig.clock.now()));
    LowBatteryList low;
    rig.state.CommsError = false;
    rig.link.GetData(1, files, low);
    EXPECT_FALSE(rig.state.CommsError);
    rig.link.GetData(2, files, low);  // first byte 0xFF: nothing
    EXPECT_FALSE(rig.state.CommsError);
    ASSERT_TRUE(files.close());

    ProbeReading r;
    r.probe = 123;
    r.recNo = 345;
    r.time = makeLocal(2012, 3, 4, 12, 34, 0);
    r.T.fill(18.5f);
    r.SM.fill(25.5f);
    r.Temp = 21.5f;
    r.Volts = 3.6f;
    r.counter = 17;
    std::string dump = readFile(dumpFilePath(dir.path, 0));
    std::string rows = dumpRow(r, Program::Marten) + markerLine(Marker::CrcError, 123) + markerLine(Marker::CrcError, 0) +
                       markerLine(Marker::CrcError, 0);
    ASSERT_GE(dump.size(), rows.size());
    EXPECT_EQ(dump.substr(dump.size() - rows.size()), rows);
    EXPECT_EQ(readFile(dataFilePath(dir.path)), std::string(kDataHeader) + "\r\n" + dataRow(r, Program::Marten));
    EXPECT_EQ(low.count(), 0);
    EXPECT_EQ(rig.frames().size(), 2u);
}

}  // namespace
}  // namespace kvr::test
