// Otter's scans against the simulated logger: empty ports, reloads, the
// readings kept on the logger when they did not all reach the disk, the
// scan timer and resident mode.
#include <gtest/gtest.h>

#include "tests/otter/rig.h"

namespace kvr::otter_test {
namespace {

TEST_F(OtterTest, EachPortWithoutALoggerIsReported) {
    port.attach(1, nullptr);  // the ports exist, nothing answers
    port.attach(2, nullptr);
    cfg(0, 2);
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 1);
    EXPECT_EQ(texts("ERROR"), (std::vector<std::string>{kNoComms, kNoComms}));
    EXPECT_FALSE(fs::exists(dataFile()));
    // A silent port takes the 4 attempts of one try: 4 status frames of 17 bytes each.
    EXPECT_EQ(port.written().size(), 2u * 4u * 17u);
}

TEST_F(OtterTest, NoNewReadingsAsksHowManyToDownloadAgain) {
    const struct {
        const char* answer;
        int blockReads;
    } cases[] = {{"0", 0}, {"", 0} /* cancelled */, {"-3", 0}, {"2", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        auto lg = logger(Type::Ordinary, 0);
        port.attach(1, lg.get());
        cfg();
        screen.boxes.clear();
        screen.answer("Bo Readings", c.answer);
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        EXPECT_EQ(app.run(), 0);
        EXPECT_EQ(texts("Bo Readings"), std::vector<std::string>{
                                            "There are no new readings available on the logger. Please specify the "
                                            "last number of readings to be downloaded."});
        EXPECT_EQ(commandCount(*lg, 0), c.blockReads);
        EXPECT_EQ(clears(*lg), c.blockReads ? 1u : 0u);
        EXPECT_EQ(texts("SET DATE").size(), 1u);  // asked in every case
        port.detach(1);
    }
}

// The logger is cleared (and its date offered) only when every row reached
// the disk: not after a write failure, not after a download that broke off.
TEST_F(OtterTest, ReadingsThatDidNotReachTheDiskStayOnTheLogger) {
    const struct {
        const char* name;
        Type type;
        const char* baud;
        std::optional<int> silentAfter;  // answers before the logger falls silent
        bool unwritable;
    } cases[] = {
        {"write failure, ordinary", Type::Ordinary, "9600", {}, true},
        {"write failure, extended", Type::Extended, "9600", {}, true},
        // status, time, count, then two blocks (at 56000 the switch and its check too)
        {"broken at 9600", Type::Ordinary, "9600", 5, false},
        {"broken at 56000", Type::Ordinary, "56000", 7, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dataFile());
        screen.boxes.clear();
        auto lg = logger(c.type, 30, c.silentAfter);
        port.attach(1, lg.get());
        cfg(0, 0, c.baud);
        // A folder holds the running file's name: it cannot be opened for appending.
        if (c.unwritable) fs::create_directories(dataFile());
        screen.answer("SET DATE", "Yes");
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        EXPECT_EQ(app.run(), c.unwritable ? 3 : 1);
        EXPECT_EQ(clears(*lg), 0u);
        EXPECT_FALSE(clockSet(*lg));
        EXPECT_TRUE(texts("SET DATE").empty());
        const auto errs = texts("ERROR");
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_EQ(app.writeFailed(), c.unwritable);
        if (c.unwritable) {
            EXPECT_NE(errs[0].find(dataFile().string()), std::string::npos) << errs[0];
            EXPECT_NE(errs[0].find("left on the logger"), std::string::npos) << errs[0];
        } else {
            EXPECT_EQ(errs[0], kNoComms);
            // What arrived before the break is kept, once and in order.
            const std::string all = expected({lg.get()}), got = readFile(dataFile());
            EXPECT_GT(got.size(), kHead.size());
            EXPECT_LT(got.size(), all.size());
            EXPECT_EQ(all.compare(0, got.size(), got), 0);
        }
        port.detach(1);
    }
}

TEST_F(OtterTest, TimerStartsScansEveryScanRateSeconds) {
    using namespace std::chrono;
    const LocalTime noon = local_days{year{2012} / 3 / 4} + hours{12};
    const struct {
        int scanRate;
        std::int64_t runMs;
        LocalTime start;
        std::int64_t scans;
    } cases[] = {
        {10, 35'000, noon, 4},
        {1, 5'000, noon, 5},
        {10, 35'000, noon + hours{11} + minutes{59} + seconds{45}, 4},  // across midnight
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scanRate);
        port.failOpen(1, "gone");
        clock.setNow(c.start);
        cfg(c.scanRate);
        screen.boxes.clear();
        OtterApp app(platform, dir);
        limitRun(c.runMs);
        EXPECT_EQ(app.run(), 0);
        EXPECT_EQ(app.scansStarted(), c.scans);
        EXPECT_EQ(texts("ERROR").size(), static_cast<std::size_t>(c.scans));
    }
}

// A logger that stays plugged in is downloaded once; one that was unplugged
// (the port falls silent, or the adapter and its port vanish) counts as new
// when it is back.
TEST_F(OtterTest, ResidentLoggerIsDownloadedOnceUntilUnplugged) {
    for (bool portVanishes : {false, true}) {
        SCOPED_TRACE(portVanishes);
        fs::remove(dataFile());
        screen.boxes.clear();
        auto first = logger(Type::Ordinary, 8);
        auto second = logger(Type::Extended, 8);
        port.attach(1, first.get());
        cfg(10);
        OtterApp app(platform, dir);
        const std::int64_t t0 = clock.monotonicMs();
        bool unplugged = false, replugged = false;
        screen.onYield = [&] {
            const std::int64_t t = clock.monotonicMs() - t0;
            if (!unplugged && t > 25'000 && !app.ScanBusy) {
                unplugged = true;
                if (portVanishes)
                    port.detach(1);
                else
                    port.attach(1, nullptr);
            }
            if (!replugged && t > 45'000 && !app.ScanBusy) {
                replugged = true;
                port.attach(1, second.get());
            }
            if (t > 75'000) throw ProgramEnd{};
        };
        EXPECT_EQ(app.run(), 0);
        EXPECT_EQ(clears(*first), 1u);
        EXPECT_EQ(clears(*second), 1u);
        EXPECT_EQ(commandCount(*first, 9), 3);  // asked for its status at the three scans it was there
        EXPECT_EQ(readFile(dataFile()), expected({first.get(), second.get()}));
        // An empty port is no message in resident mode, a vanished one is.
        EXPECT_EQ(texts("ERROR").size(), portVanishes ? 2u : 0u);
        EXPECT_EQ(texts("SET DATE").size(), 2u);
        EXPECT_GE(app.scansStarted(), 7);
        ASSERT_FALSE(screen.windowShown.empty());
        EXPECT_FALSE(screen.windowShown.back()) << "the window is hidden after each scan";
        EXPECT_FALSE(port.isOpen());
    }
}

}  // namespace
}  // namespace kvr::otter_test
