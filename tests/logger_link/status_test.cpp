// Status, clock, clearing and baud rate against the simulated logger.
#include "core/devtime.h"
#include "tests/logger_link/rig.h"

namespace kvr::test {
namespace {

TEST(LoggerStatus, EachLayout) {
    struct StatusCase {
        const char* name;
        const char* type;
        bool server, extended;
        std::vector<int> commands;
        std::string lastLabel;
        bool marten = false;
    };
    const std::vector<StatusCase> cases = {
        {"ordinary", "ordinary", false, false, {9, 11, 1}, "Checking for new readings, please wait ..."},
        {"extended", "extended", false, true, {9, 11, 1}, "Checking for new readings, please wait ..."},
        {"server", "server", true, true, {9}, "Found NVA4-SVR(4.12) with 30 readings."},
        // Marten knows only the logger layout: the long answer is taken as an ordinary logger's.
        {"Marten, server layout", "server", false, false, {9, 11, 1}, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.marten ? LoggerVariant::Marten() : LoggerVariant::Otter());
        sim::Logger dev(loggerOptions({"--type", c.type}));
        rig.attach(&dev);
        rig.state.NumReadings = 99;
        rig.link.GetStatus();
        EXPECT_FALSE(rig.state.CommsError);
        EXPECT_EQ(rig.link.ServerFormat, c.server);
        EXPECT_EQ(rig.link.ExtendedStatus, c.extended);
        EXPECT_EQ(rig.commandsSent(), c.commands);
        if (c.marten) continue;
        EXPECT_EQ(rig.state.NumReadings, dev.numReadings());
        if (c.extended) {
            EXPECT_EQ(rig.state.NextRecord, dev.nextRecord());
            EXPECT_EQ(rig.state.EndRecord, dev.endRecord());
            EXPECT_EQ(rig.state.RecordSlots, dev.recordSlots());
        }
        ASSERT_FALSE(rig.screen.events.empty());
        EXPECT_EQ(rig.screen.events.front(), "Conecting to logger, please wait ...");
        EXPECT_EQ(rig.screen.events.back(), c.lastLabel);
    }
}

// The version byte and the answer's length choose the layout, and the
// count answer is read by layout: extended loggers give the ring.
TEST(LoggerStatus, LayoutFromTheAnswer) {
    auto status = [](int version, std::size_t dataBytes) {
        std::vector<std::uint8_t> d(dataBytes, 0);
        d[0] = 9;
        d[1] = static_cast<std::uint8_t>(version);
        d[2] = 4;
        d[3] = 12;
        if (dataBytes > 16) {
            d[9] = 0x01;  // position 16: EndRecord 300
            d[10] = 0x2C;
            d[15] = 0x05;  // position 22: 1503 records
            d[16] = 0xDF;
        }
        return answer(d);
    };
    struct Case {
        const char* name;
        Bytes status;
        bool server, extended;
        int numReadings;
    };
    const std::vector<Case> cases = {
        {"version 99", status(99, 5), false, false, 10},
        {"version 100", status(100, 5), false, true, 5},
        {"version 254", status(254, 5), false, true, 5},
        {"version 255", status(255, 5), false, false, 10},
        {"length 28", status(20, 19), false, false, 10},
        {"length 29", status(20, 20), true, true, 1503},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        ScriptDevice dev;
        dev.replies = {c.status, answer({11, 4, 12, 0, 0}), answer({1, 0, 10, 0, 3, 0, 12, 0, 5})};
        rig.attach(&dev);
        rig.link.GetStatus();
        EXPECT_FALSE(rig.state.CommsError);
        EXPECT_EQ(rig.link.ServerFormat, c.server);
        EXPECT_EQ(rig.link.ExtendedStatus, c.extended);
        EXPECT_EQ(rig.state.NumReadings, c.numReadings);
        if (c.extended && !c.server) {
            EXPECT_EQ(rig.state.RecordSlots, 12);
        }
        if (c.server) {
            EXPECT_EQ(rig.state.EndRecord, 300);
        }
    }
}

TEST(LoggerStatus, FailuresAndModemHandOver) {
    struct FailCase {
        const char* name;
        std::vector<std::string> simArgs;
        std::int16_t scanRate;
        std::size_t frames;
        int cellCalls;
        bool cellConnected = false;
        bool marten = false;
    };
    const std::vector<FailCase> cases = {
        {"silent, resident scan: one frame", {"--silent-after", "0"}, 5, 1, 0},
        {"silent, single run: one try", {"--silent-after", "0"}, 0, 4, 0},
        {"silent, resident scan over a cell call: one try", {"--silent-after", "0"}, 5, 4, 0, true},
        {"corrupt, resident scan: three frames", {"--corrupt-every", "1"}, 5, 3, 0},
        // A modem keeps taking the call: bounded restarts, then no comms.
        {"modem answering zero", {"--modem-zero"}, 5, 1 + LoggerLink::kMaxCellRestarts, 1 + LoggerLink::kMaxCellRestarts},
        {"modem echoing", {"--modem-echo"}, 5, 3 * (1 + LoggerLink::kMaxCellRestarts), 1 + LoggerLink::kMaxCellRestarts},
        {"Marten, silent, resident scan: no single-frame probing", {"--silent-after", "0"}, 5, 4, 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.marten ? LoggerVariant::Marten() : LoggerVariant::Otter());
        sim::Logger dev(sim::parseLoggerOptions(c.simArgs));
        rig.attach(&dev);
        rig.link.singleStatusAttempt = c.scanRate > 0;
        rig.link.CellConnected = c.cellConnected;
        int calls = 0;
        rig.link.cellRegistered = [&] {
            ++calls;
            return true;
        };
        rig.link.GetStatus();
        EXPECT_TRUE(rig.state.CommsError);
        EXPECT_EQ(rig.state.NumReadings, 0);
        EXPECT_EQ(rig.frames().size(), c.frames);
        EXPECT_EQ(calls, c.cellCalls);
        EXPECT_EQ(rig.screen.events.back(), "No comms ...");
    }
}

TEST(LoggerClock, SetLoggerDate) {
    {
        Rig rig;
        sim::Logger dev(loggerOptions({"--type", "server"}));
        rig.attach(&dev);
        rig.link.ServerFormat = true;
        rig.clock.setNow(makeLocal(2000, 1, 2));
        rig.link.SetLoggerDate();
        EXPECT_FALSE(rig.state.CommsError);
        auto f = rig.frames();
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(Rig::dataOf(f[0]), (std::vector<int>{8, 0x00, 0x01, 0x51, 0x80}));
        EXPECT_EQ(dev.state()["clockSetTo"], "2000/01/02 00:00:00");
    }
    for (auto variant : {LoggerVariant::Otter(), LoggerVariant::Marten()}) {
        Rig rig(variant);
        sim::Logger dev(loggerOptions());
        rig.attach(&dev);
        rig.link.ServerFormat = !variant.fullStatus;  // Marten has no server layout
        rig.clock.setNow(makeLocal(2026, 12, 6, 17, 5, 9));
        rig.link.SetLoggerDate();
        EXPECT_FALSE(rig.state.CommsError);
        auto f = rig.frames();
        ASSERT_EQ(f.size(), 2u);
        EXPECT_EQ(Rig::dataOf(f[0]), (std::vector<int>{10, 255, 26, 12, 6}));
        EXPECT_EQ(Rig::dataOf(f[1]), (std::vector<int>{12, 254, 17, 5, 9}));
        EXPECT_EQ(dev.state()["dateSet"], "2026-12-06");
        EXPECT_EQ(dev.state()["timeSet"], "17:05:09");
        EXPECT_EQ(rig.screen.events.empty(), !variant.statusLabelOnDate);
    }
    // The time is not sent when the date was refused.
    Rig rig;
    sim::Logger dev(sim::parseLoggerOptions({"--silent-after", "0"}));
    rig.attach(&dev);
    rig.link.SetLoggerDate();
    EXPECT_TRUE(rig.state.CommsError);
    EXPECT_EQ(rig.commandsSent(), (std::vector<int>{10, 10, 10, 10}));
}

TEST(LoggerClear, ArgumentsPerLayout) {
    struct Case {
        const char* type;
        std::vector<int> data;
    };
    for (const Case& c : {Case{"ordinary", {3, 0, 0, 0, 0}}, Case{"extended", {3, 1, 44, 0, 0}},
                          Case{"server", {27, 1, 44, 0, 0}}}) {
        SCOPED_TRACE(c.type);
        Rig rig;
        sim::Logger dev(loggerOptions({"--type", c.type}));
        rig.attach(&dev);
        rig.link.ServerFormat = c.data[0] == 27;
        rig.link.ExtendedStatus = c.data[1] != 0;
        rig.state.EndRecord = 300;
        rig.link.ClearReadings();
        EXPECT_FALSE(rig.state.CommsError);
        auto f = rig.frames();
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(Rig::dataOf(f[0]), c.data);
        EXPECT_EQ(dev.state()["clears"][0]["command"], c.data[0]);
        EXPECT_EQ(rig.screen.events.back(), "Clearing logger readings ...");
    }
}

struct BaudCase {
    const char* name;
    LoggerVariant variant;
    std::vector<std::string> simArgs;
    std::int16_t baud;
    bool errorBefore;
    std::vector<int> commands;
    std::string portSettings;
    int loggerBaud;
    bool error;
};

TEST(LoggerBaud, SwitchingAndFallback) {
    const std::vector<BaudCase> cases = {
        {"to 56000 and checked", LoggerVariant::Otter(), {}, 1, false, {14, 14}, "56000,n,8,1", 56000, false},
        {"56000 fails: both back at 9600", LoggerVariant::Otter(), {"--no-high-speed"}, 1, false,
         // ack, then the check at 56000 goes unheard (4 attempts), then the fallback
         {14, 14, 14, 14, 14, 14}, "9600,n,8,1", 9600, false},
        {"no answer at all: fallback", LoggerVariant::Otter(), {"--silent-after", "0"}, 1, false,
         {14, 14, 14, 14, 14, 14, 14, 14}, "9600,n,8,1", 9600, true},
        {"back to 9600", LoggerVariant::Otter(), {}, 0, false, {14}, "9600,n,8,1", 9600, false},
        {"Marten on Hi", LoggerVariant::Marten(), {}, 1, false, {14, 14}, "56000,n,8,1", 56000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.variant);
        sim::Logger dev(sim::parseLoggerOptions(c.simArgs));
        rig.attach(&dev);
        if (c.baud == 0) {
            // The logger was switched up before the download.
            rig.link.SetBaudrate(1);
            ASSERT_EQ(dev.baud(), 56000);
            rig.frames();
        }
        rig.state.CommsError = c.errorBefore;
        rig.link.SetBaudrate(c.baud);
        EXPECT_EQ(rig.commandsSent(), c.commands);
        EXPECT_EQ(rig.port.settings(), c.portSettings);
        EXPECT_TRUE(rig.port.isOpen());
        EXPECT_EQ(dev.baud(), c.loggerBaud);
        EXPECT_EQ(rig.state.CommsError, c.error);
    }
}

}  // namespace
}  // namespace kvr::test
