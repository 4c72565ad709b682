#include <gtest/gtest.h>

#include "tests/otter/otter_fixture.h"

namespace kvr::otter_test {
namespace {

using Type = sim::LoggerOptions::Type;
const char* const kNoComms = "ERROR, Data download not completed - No comms.";

// ---- single runs against a cable logger ----

TEST_F(OtterTest, SingleRunDownloadsClearsAndSetsTheDate) {
    struct Case {
        const char* name;
        Type type;
        const char* baud;
        const char* dateAnswer;
        bool fast;
    } cases[] = {
        {"ordinary, date Yes", Type::Ordinary, "9600", "Yes", false},
        {"ordinary at 56000, date No", Type::Ordinary, "56000", "No", true},
        {"extended at 56000, date Yes", Type::Extended, "56000", "Yes", true},
        {"server layout, date No", Type::Server, "9600", "No", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dataFile());
        screen.boxes.clear();
        auto lg = logger(c.type);
        port.attach(1, lg.get());
        cfg(0, 0, c.baud);
        screen.answer("SET DATE", c.dateAnswer);
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        EXPECT_EQ(app.run(), 0);

        EXPECT_EQ(readFile(dataFile()), std::string(kDataHeader) + "\r\n" + expected(*lg));
        auto st = lg->state();
        ASSERT_EQ(st["clears"].size(), 1u);
        if (c.type != Type::Ordinary) {
            EXPECT_EQ(st["clears"][0]["endRecord"], lg->endRecord());
        }
        auto q = boxesTitled("SET DATE");
        ASSERT_EQ(q.size(), 1u);
        EXPECT_EQ(q[0].text.rfind("Setting logger date to: ", 0), 0u);
        EXPECT_EQ(q[0].text.size(), std::string("Setting logger date to: dd/mm/yyyy HH:MM").size());
        EXPECT_EQ(clockSet(*lg), std::string(c.dateAnswer) == "Yes");
        EXPECT_EQ(commandCount(*lg, 14) > 0, c.fast);
        EXPECT_EQ(st["baud"], 9600);
        EXPECT_TRUE(boxesTitled("ERROR").empty());
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
    auto lg = logger(Type::Ordinary);
    port.attach(1, nullptr);
    port.attach(2, lg.get());
    cfg(0, 2);
    screen.answer("SET DATE", "No");
    OtterApp app(platform, dir);
    limitRun(10 * 60'000);
    EXPECT_EQ(app.run(), 1);  // the first port had no logger
    ASSERT_EQ(screen.boxes.size(), 2u);
    EXPECT_EQ(screen.boxes[0].text, kNoComms);
    EXPECT_EQ(screen.boxes[1].title, "SET DATE");
    EXPECT_EQ(readFile(dataFile()), std::string(kDataHeader) + "\r\n" + expected(*lg));
    EXPECT_EQ(clears(*lg), 1u);
    auto opens = std::count_if(port.lineEvents.begin(), port.lineEvents.end(),
                               [](const std::string& e) { return e.rfind("open ", 0) == 0; });
    EXPECT_EQ(opens, 2);
}

TEST_F(OtterTest, NoNewReadingsAsksHowManyToDownloadAgain) {
    struct Case {
        const char* answer;
        int blockReads;
        std::size_t clears;
    } cases[] = {
        {"0", 0, 0}, {"", 0, 0} /* cancelled */, {"abc", 0, 0}, {"-3", 0, 0}, {"2", 2, 1},
    };
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
        auto in = boxesTitled("Bo Readings");
        ASSERT_EQ(in.size(), 1u);
        EXPECT_EQ(in[0].kind, "input");
        EXPECT_EQ(in[0].text,
                  "There are no new readings available on the logger. Please specify the last number of readings to "
                  "be downloaded.");
        EXPECT_EQ(commandCount(*lg, 0), c.blockReads);
        EXPECT_EQ(clears(*lg), c.clears);
        EXPECT_EQ(boxesTitled("SET DATE").size(), 1u);  // asked in every case
        port.detach(1);
    }
}

// ---- readings that did not reach the disk stay on the logger ----

TEST_F(OtterTest, WriteFailureLeavesTheLoggerUncleared) {
    for (Type type : {Type::Ordinary, Type::Extended}) {
        screen.boxes.clear();
        auto lg = logger(type);
        port.attach(1, lg.get());
        cfg();
        // The running file cannot be opened for appending: a folder holds its name.
        fs::create_directories(dataFile());
        screen.answer("SET DATE", "Yes");
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        EXPECT_EQ(app.run(), 1);
        EXPECT_EQ(clears(*lg), 0u);
        EXPECT_FALSE(clockSet(*lg));
        EXPECT_TRUE(boxesTitled("SET DATE").empty());
        auto errs = boxesTitled("ERROR");
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_NE(errs[0].text.find(dataFile().string()), std::string::npos) << errs[0].text;
        EXPECT_NE(errs[0].text.find("left on the logger"), std::string::npos) << errs[0].text;
        EXPECT_TRUE(app.writeFailed());
        port.detach(1);
    }
}

TEST_F(OtterTest, DownloadBrokenPartWayIsNotClearedAtEitherSpeed) {
    // Exchanges before the blocks: status, time, count (and at 56000 the
    // switch and its check); then two blocks are answered.
    for (auto [baud, answered] : {std::pair{"9600", 5}, std::pair{"56000", 7}}) {
        SCOPED_TRACE(baud);
        fs::remove(dataFile());
        screen.boxes.clear();
        auto lg = logger(Type::Ordinary, 30, answered);
        port.attach(1, lg.get());
        cfg(0, 0, baud);
        screen.answer("SET DATE", "Yes");
        OtterApp app(platform, dir);
        limitRun(10 * 60'000);
        EXPECT_EQ(app.run(), 1);
        EXPECT_EQ(clears(*lg), 0u);
        EXPECT_TRUE(boxesTitled("SET DATE").empty());
        auto errs = boxesTitled("ERROR");
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_EQ(errs[0].text, kNoComms);
        // What arrived before the break is kept, once and in order.
        const std::string all = std::string(kDataHeader) + "\r\n" + expected(*lg);
        const std::string got = readFile(dataFile());
        EXPECT_GT(got.size(), std::string(kDataHeader).size() + 2);
        EXPECT_LT(got.size(), all.size());
        EXPECT_EQ(all.compare(0, got.size(), got), 0);
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
    auto first = logger(Type::Ordinary, 8);
    auto second = logger(Type::Extended, 8);
    port.attach(1, first.get());
    cfg(10);
    OtterApp app(platform, dir);
    // Unplugged after 25 s (the port stays, nothing answers), another logger after 45 s.
    const std::int64_t t0 = clock.monotonicMs();
    bool unplugged = false, replugged = false;
    screen.onYield = [&] {
        std::int64_t t = clock.monotonicMs() - t0;
        if (!unplugged && t > 25'000 && !app.ScanBusy) {
            unplugged = true;
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
    EXPECT_EQ(commandCount(*first, 9), 3);  // three scans while it was there
    EXPECT_EQ(readFile(dataFile()), std::string(kDataHeader) + "\r\n" + expected(*first) + expected(*second));
    // No message about the empty port in resident mode; the window is hidden after each scan.
    EXPECT_TRUE(boxesTitled("ERROR").empty());
    EXPECT_EQ(boxesTitled("SET DATE").size(), 2u);
    EXPECT_GE(app.scansStarted(), 7);
    EXPECT_FALSE(screen.windowShown.empty());
    EXPECT_FALSE(screen.windowShown.back());
    EXPECT_FALSE(port.isOpen());
}

// An adapter that is pulled out makes the port fail to open; the logger
// found there afterwards must be handled again.
TEST_F(OtterTest, ResidentPortThatVanishedForgetsTheLogger) {
    auto lg = logger(Type::Extended, 8);
    port.attach(1, lg.get());
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
            port.attach(1, lg.get());
        }
        if (t > 14'000) throw ProgramEnd{};
    };
    app.run();
    EXPECT_EQ(boxesTitled("SET DATE").size(), 2u);
    EXPECT_EQ(boxesTitled("ERROR").size(), 1u);
}

}  // namespace
}  // namespace kvr::otter_test
