// Otter's scans against the simulated logger: reloads, the scan timer and
// resident mode. Empty ports, and readings kept on a logger after a write
// failure or a broken link, are held by the end-to-end runs.
#include "tests/otter/rig.h"

namespace kvr::test {
namespace {

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
}  // namespace kvr::test
