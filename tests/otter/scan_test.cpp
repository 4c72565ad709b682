#include <gtest/gtest.h>

#include "core/format.h"
#include "tests/otter/otter_fixture.h"

namespace kvr::otter_test {
namespace {

const char* const kNoComms = "ERROR, Data download not completed - No comms.";

// ---- single runs against a cable logger ----

TEST_F(OtterTest, SingleRunDownloadsClearsAndSetsTheDate) {
    struct Case {
        const char* name;
        const char* baud;
        const char* dateAnswer;
        bool dateSet;
        int baudCommands;
    } cases[] = {
        {"9600, date Yes", "9600", "Yes", true, 0},
        {"9600, date No", "9600", "No", false, 0},
        {"56000, date Yes", "56000", "Yes", true, 3},  // switch up, check at speed, switch down
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dataFile());
        TestLogger logger;
        auto a = readings(123, 6);
        auto b = readings(4567, 3, 2);
        logger.addProbe(123, a);
        logger.addProbe(4567, b);
        port.attach(1, &logger);
        cfg(0, 0, c.baud);
        screen.boxes.clear();
        screen.answer("SET DATE", c.dateAnswer);
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        EXPECT_EQ(app.run(), 0);

        EXPECT_EQ(readFile(dataFile()), std::string(kDataHeader) + "\r\n" + rows(a) + rows(b));
        EXPECT_EQ(logger.blockReads, (std::vector<int>{64, 65, 66, 67, 68}));
        EXPECT_EQ(logger.clears, 1);
        EXPECT_EQ(logger.clearArgs, (std::vector<int>{0, 0, 0, 0}));
        auto q = boxesTitled("SET DATE");
        ASSERT_EQ(q.size(), 1u);
        EXPECT_EQ(q[0].text.rfind("Setting logger date to: ", 0), 0u);
        EXPECT_EQ(q[0].text.size(), std::string("Setting logger date to: dd/mm/yyyy HH:MM").size());
        EXPECT_EQ(logger.dateCommands.size(), c.dateSet ? 2u : 0u);
        if (c.dateSet) {
            EXPECT_EQ(logger.dateCommands[0], (std::vector<int>{10, 255, 12, 3, 4}));
            EXPECT_EQ(logger.dateCommands[1][0], 12);
        }
        EXPECT_EQ(static_cast<int>(logger.baudCommands.size()), c.baudCommands);
        EXPECT_TRUE(boxesTitled("ERROR").empty());
        EXPECT_EQ(port.settings(), "9600,n,8,1");
        EXPECT_FALSE(port.isOpen());
        port.detach(1);
    }
}

TEST_F(OtterTest, NoLoggerOnEitherPortReportsEachAndFails) {
    port.attach(1, nullptr);  // the port exists, nothing answers
    port.attach(2, nullptr);
    cfg(0, 2);
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 1);
    auto errs = boxesTitled("ERROR");
    ASSERT_EQ(errs.size(), 2u);
    EXPECT_EQ(errs[0].text, kNoComms);
    EXPECT_EQ(errs[1].text, kNoComms);
    EXPECT_TRUE(boxesTitled("SET DATE").empty());
    EXPECT_FALSE(fs::exists(dataFile()));
    // A silent logger uses up the 4 attempts of one try: 4 status frames per port.
    EXPECT_EQ(port.written().size(), 2u * 4u * 17u);
}

TEST_F(OtterTest, SecondPortIsTriedAfterTheFirstHadNoLogger) {
    TestLogger logger;
    auto a = readings(77, 4);
    logger.addProbe(77, a);
    port.attach(1, nullptr);
    port.attach(2, &logger);
    cfg(0, 2);
    screen.answer("SET DATE", "No");
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 1);  // the first port had no logger
    ASSERT_EQ(screen.boxes.size(), 2u);
    EXPECT_EQ(screen.boxes[0].text, kNoComms);
    EXPECT_EQ(screen.boxes[1].title, "SET DATE");
    EXPECT_EQ(readFile(dataFile()), std::string(kDataHeader) + "\r\n" + rows(a));
    EXPECT_EQ(logger.clears, 1);
    auto opens = std::count_if(port.lineEvents.begin(), port.lineEvents.end(),
                               [](const std::string& e) { return e.rfind("open ", 0) == 0; });
    EXPECT_EQ(opens, 2);
}

TEST_F(OtterTest, NoNewReadingsAsksHowManyToDownloadAgain) {
    struct Case {
        const char* answer;
        std::vector<int> blocks;
        int clears;
    } cases[] = {
        {"0", {}, 0},
        {"", {}, 0},  // cancelled box
        {"abc", {}, 0},
        {"2", {64, 65}, 1},
        {"-3", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        fs::remove(dataFile());
        // The logger reports no new blocks but still holds the old ones.
        TestLogger logger;
        logger.addProbe(5, readings(5, 4));
        logger.countOverride = 0;
        port.attach(1, &logger);
        cfg();
        screen.boxes.clear();
        screen.answer("Bo Readings", c.answer);
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        EXPECT_EQ(app.run(), 0);
        auto in = boxesTitled("Bo Readings");
        ASSERT_EQ(in.size(), 1u);
        EXPECT_EQ(in[0].kind, "input");
        EXPECT_EQ(in[0].text,
                  "There are no new readings available on the logger. Please specify the last number of readings to "
                  "be downloaded.");
        EXPECT_EQ(logger.blockReads, c.blocks);
        EXPECT_EQ(logger.clears, c.clears);
        EXPECT_EQ(boxesTitled("SET DATE").size(), 1u);  // asked in every case
        port.detach(1);
    }
}

// ---- readings that did not reach the disk stay on the logger ----

TEST_F(OtterTest, WriteFailureLeavesTheLoggerUncleared) {
    TestLogger logger;
    logger.addProbe(123, readings(123, 8));
    port.attach(1, &logger);
    cfg();
    // The running file cannot be opened for appending: a folder holds its name.
    fs::create_directories(dataFile());
    screen.answer("SET DATE", "Yes");
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 1);
    EXPECT_EQ(logger.clears, 0);
    EXPECT_TRUE(logger.dateCommands.empty());
    EXPECT_TRUE(boxesTitled("SET DATE").empty());
    auto errs = boxesTitled("ERROR");
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_NE(errs[0].text.find(dataFile().string()), std::string::npos) << errs[0].text;
    EXPECT_NE(errs[0].text.find("left on the logger"), std::string::npos) << errs[0].text;
    EXPECT_TRUE(app.writeFailed());
}

TEST_F(OtterTest, DownloadBrokenPartWayIsNotClearedAtEitherSpeed) {
    for (const char* baud : {"9600", "56000"}) {
        SCOPED_TRACE(baud);
        fs::remove(dataFile());
        screen.boxes.clear();
        TestLogger logger;
        auto a = readings(9, 12);
        logger.addProbe(9, a);
        logger.silentAfterBlocks = 2;  // header and first data block only
        port.attach(1, &logger);
        cfg(0, 0, baud);
        screen.answer("SET DATE", "Yes");
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        EXPECT_EQ(app.run(), 1);
        EXPECT_EQ(logger.clears, 0);
        EXPECT_TRUE(boxesTitled("SET DATE").empty());
        auto errs = boxesTitled("ERROR");
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_EQ(errs[0].text, kNoComms);
        // What arrived before the break is kept, once.
        EXPECT_EQ(readFile(dataFile()),
                  std::string(kDataHeader) + "\r\n" + rows({a.begin(), a.begin() + 4}));
        port.detach(1);
    }
}

// ---- the timer ----

TEST_F(OtterTest, TimerStartsScansEveryScanRateSeconds) {
    using namespace std::chrono;
    struct Case {
        const char* name;
        int scanRate;
        std::int64_t runMs;
        LocalTime start;
        std::int64_t scans;
    } cases[] = {
        {"rate 10 for 35 s", 10, 35'000, local_days{year{2012} / 3 / 4} + hours{12}, 4},
        {"rate 1 for 5 s", 1, 5'000, local_days{year{2012} / 3 / 4} + hours{12}, 5},
        {"across midnight", 10, 35'000, local_days{year{2012} / 3 / 4} + hours{23} + minutes{59} + seconds{45}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        port.failOpen(1, "gone");
        clock.setNow(c.start);
        cfg(c.scanRate);
        screen.boxes.clear();
        OtterApp app(platform, dir);
        limitRun(c.runMs);
        EXPECT_EQ(app.run(), 0);
        EXPECT_EQ(app.scansStarted(), c.scans);
        EXPECT_EQ(boxesTitled("ERROR").size(), static_cast<std::size_t>(c.scans));
    }
}

TEST_F(OtterTest, ScanLongerThanTheIntervalIsFollowedAtOnce) {
    port.attach(1, nullptr);
    cfg(2);
    OtterApp app(platform, dir);
    std::vector<std::int64_t> starts;
    std::int64_t seen = 0;
    const std::int64_t t0 = clock.monotonicMs();
    screen.onYield = [&] {
        // Each scan is held up for 5 s, longer than the 2 s interval.
        if (app.ScanBusy && app.scansStarted() != seen) {
            seen = app.scansStarted();
            starts.push_back(clock.monotonicMs());
            clock.advance(5'000);
        }
        if (clock.monotonicMs() - t0 > 20'000) throw ProgramEnd{};
    };
    EXPECT_EQ(app.run(), 0);
    ASSERT_GE(starts.size(), 3u);
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
        EXPECT_GE(starts[i + 1] - starts[i], 5'000);
        EXPECT_LE(starts[i + 1] - starts[i], 5'000 + 1'000 + 2 * kOtterTickMs);
    }
}

// ---- resident mode ----

TEST_F(OtterTest, ResidentLoggerIsDownloadedOnceUntilUnplugged) {
    TestLogger logger;
    auto a = readings(321, 4);
    logger.addProbe(321, a);
    port.attach(1, &logger);
    cfg(10);
    OtterApp app(platform, dir);
    // Unplug after 25 s, plug in again after 45 s, with new readings.
    auto b = readings(321, 4, 3);
    const std::int64_t t0 = clock.monotonicMs();
    bool unplugged = false, replugged = false;
    screen.onYield = [&] {
        std::int64_t t = clock.monotonicMs() - t0;
        if (!unplugged && t > 25'000 && !app.ScanBusy) {
            unplugged = true;
            logger.silent = true;
        }
        if (!replugged && t > 45'000 && !app.ScanBusy) {
            replugged = true;
            logger.silent = false;
            logger.blocks.clear();
            logger.addProbe(321, b);
        }
        if (t > 75'000) throw ProgramEnd{};
    };
    EXPECT_EQ(app.run(), 0);
    EXPECT_EQ(logger.clears, 2);
    EXPECT_EQ(readFile(dataFile()), std::string(kDataHeader) + "\r\n" + rows(a) + rows(b));
    // No message about the empty port in resident mode; the window is hidden after each scan.
    EXPECT_TRUE(boxesTitled("ERROR").empty());
    EXPECT_GE(app.scansStarted(), 7);
    EXPECT_FALSE(screen.windowShown.empty());
    EXPECT_FALSE(screen.windowShown.back());
    EXPECT_FALSE(port.isOpen());
}

TEST_F(OtterTest, ResidentPortThatVanishedForgetsTheLogger) {
    TestLogger logger;
    logger.addProbe(321, readings(321, 4));
    port.attach(1, &logger);
    cfg(5);
    OtterApp app(platform, dir);
    const std::int64_t t0 = clock.monotonicMs();
    bool gone = false, back = false;
    screen.onYield = [&] {
        std::int64_t t = clock.monotonicMs() - t0;
        if (!gone && t > 3'000 && !app.ScanBusy) {
            gone = true;
            port.detach(1);
        }
        if (!back && t > 8'000 && !app.ScanBusy) {
            back = true;
            port.attach(1, &logger);
        }
        if (t > 14'000) throw ProgramEnd{};
    };
    app.run();
    EXPECT_EQ(logger.clears, 2);
}

}  // namespace
}  // namespace kvr::otter_test
