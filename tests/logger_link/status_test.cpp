// Status, clock, clearing and baud rate against the simulated logger.
#include "core/devtime.h"
#include "tests/logger_link/rig.h"

namespace kvr::test {
namespace {

// The version byte and the answer's length choose the layout; the count
// answer is read by layout (extended loggers give the ring) and a server
// asks for nothing more. Marten knows only the logger layout.
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
    const std::string checking = "Checking for new readings, please wait ...";
    struct Case {
        const char* name;
        Bytes status;
        bool server, extended;
        int numReadings;
        std::string lastLabel;
        LoggerVariant variant = LoggerVariant::Otter();
    };
    const std::vector<Case> cases = {
        {"version 99", status(99, 5), false, false, 10, checking},
        {"version 100", status(100, 5), false, true, 5, checking},
        {"version 254", status(254, 5), false, true, 5, checking},
        {"version 255", status(255, 5), false, false, 10, checking},
        {"length 28", status(20, 19), false, false, 10, checking},
        {"length 29", status(20, 20), true, true, 1503, "Found NVA4-SVR(4.12) with 1503 readings."},
        {"Marten, length 29", status(20, 20), false, false, 10, checking, LoggerVariant::Marten()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig({c.status, answer({11, 4, 12, 0, 0}), answer({1, 0, 10, 0, 3, 0, 12, 0, 5})}, c.variant);
        rig.state.NumReadings = 99;
        rig.link.GetStatus();
        EXPECT_FALSE(rig.state.CommsError);
        EXPECT_EQ(rig.link.ServerFormat, c.server);
        EXPECT_EQ(rig.link.ExtendedStatus, c.extended);
        EXPECT_EQ(rig.state.NumReadings, c.numReadings);
        EXPECT_EQ(rig.commandsSent(), (c.server ? std::vector<int>{9} : std::vector<int>{9, 11, 1}));
        if (c.extended && !c.server) {
            EXPECT_EQ((std::vector<int>{rig.state.NextRecord, rig.state.EndRecord, rig.state.RecordSlots}),
                      (std::vector<int>{10, 3, 12}));
        }
        if (c.server) {
            EXPECT_EQ(rig.state.EndRecord, 300);
        }
        ASSERT_FALSE(rig.screen.events.empty());
        EXPECT_EQ(rig.screen.events.front(), "Conecting to logger, please wait ...");
        EXPECT_EQ(rig.screen.events.back(), c.lastLabel);
    }
}

TEST(LoggerStatus, FailuresAndModemHandOver) {
    struct FailCase {
        const char* name;
        std::vector<std::string> simArgs;
        std::int16_t scanRate;
        std::size_t frames;
        int cellCalls;
        bool cellConnected = false, marten = false;
    };
    const std::vector<FailCase> cases = {
        {"silent, resident scan: one frame", {"--silent-after", "0"}, 5, 1, 0},
        {"silent, single run: one try", {"--silent-after", "0"}, 0, 4, 0},
        {"silent, resident scan over a cell call: one try", {"--silent-after", "0"}, 5, 4, 0, true},
        {"corrupt, resident scan: three frames", {"--corrupt-every", "1"}, 5, 3, 0},
        // A modem keeps taking the call: three restarts, then no comms, and
        // no fourth call that nothing would use.
        {"modem answering zero", {"--modem-zero"}, 5, 4, 3},
        {"modem echoing", {"--modem-echo"}, 5, 3 * 4, 3},
        {"Marten, silent, resident scan: no single-frame probing", {"--silent-after", "0"}, 5, 4, 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Logger dev(sim::parseLoggerOptions(c.simArgs));
        Rig rig(&dev, c.marten ? LoggerVariant::Marten() : LoggerVariant::Otter());
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

// A server takes its clock in one frame; a logger the date and then the
// time, and the time only when the date was taken. Marten has no server layout.
TEST(LoggerClock, SetLoggerDate) {
    const std::vector<int> date{10, 255, 26, 12, 6}, time{12, 254, 17, 5, 9};
    const std::string label = "Setting logger date and time ...";
    const struct {
        const char* name;
        LoggerVariant variant;
        std::vector<std::string> simArgs;
        bool serverFormat;
        std::vector<std::vector<int>> frames;
        nlohmann::json taken;  // the logger's record of what it was set to
        std::vector<std::string> events;
    } cases[] = {
        {"server", LoggerVariant::Otter(), {"--type", "server"}, true,
         {{8, 0x00, 0x01, 0x51, 0x80}}, {{"clockSetTo", "2000/01/02 00:00:00"}}, {label}},
        {"Otter", LoggerVariant::Otter(), {}, false, {date, time}, {{"dateSet", "2026-12-06"}, {"timeSet", "17:05:09"}},
         {label}},
        {"Marten", LoggerVariant::Marten(), {}, true, {date, time}, {{"dateSet", "2026-12-06"}, {"timeSet", "17:05:09"}},
         {}},
        {"date refused", LoggerVariant::Otter(), {"--silent-after", "0"}, false, {date, date, date, date},
         {{"dateSet", nullptr}, {"timeSet", nullptr}}, {label}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Logger dev(sim::parseLoggerOptions(c.simArgs));
        Rig rig(&dev, c.variant);
        rig.link.ServerFormat = c.serverFormat;
        // The server's clock counts from 2000; the loggers' dates are the ones above.
        rig.clock.setNow(c.frames[0][0] == 8 ? makeLocal(2000, 1, 2) : makeLocal(2026, 12, 6, 17, 5, 9));
        rig.link.SetLoggerDate();
        EXPECT_EQ(rig.state.CommsError, c.frames.size() == 4);  // only the refused date: four attempts
        std::vector<std::vector<int>> sent;
        for (const auto& f : rig.frames()) sent.push_back(Rig::dataOf(f));
        EXPECT_EQ(sent, c.frames);
        for (const auto& [key, value] : c.taken.items()) EXPECT_EQ(dev.state()[key], value) << key;
        EXPECT_EQ(rig.screen.events, c.events);
    }
}

TEST(LoggerClear, ArgumentsPerLayout) {
    struct Case {
        const char* type;
        std::vector<int> data;
    };
    for (const Case& c : {Case{"ordinary", {3, 0, 0, 0, 0}}, Case{"extended", {3, 1, 44, 0, 0}},
                          Case{"server", {27, 1, 44, 0, 0}}}) {
        SCOPED_TRACE(c.type);
        sim::Logger dev(loggerOptions({"--type", c.type}));
        Rig rig(&dev);
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

// Switching to the high speed, checked at it; port and logger end at the
// same speed, 9600 when the check fails. Back to 9600 after a download is
// held by Marten's logger runs and the end-to-end runs.
TEST(LoggerBaud, SwitchingAndFallback) {
    struct BaudCase {
        const char* name;
        LoggerVariant variant;
        std::vector<std::string> simArgs;
        std::vector<int> commands;
        int baud;  // of both the port and the logger afterwards
        bool error;
    };
    const std::vector<BaudCase> cases = {
        {"to 56000 and checked", LoggerVariant::Otter(), {}, {14, 14}, 56000, false},
        // ack, then the check at 56000 goes unheard (4 attempts), then the fallback
        {"56000 fails: both back at 9600", LoggerVariant::Otter(), {"--no-high-speed"}, {14, 14, 14, 14, 14, 14}, 9600,
         false},
        {"no answer at all: fallback", LoggerVariant::Otter(), {"--silent-after", "0"},
         {14, 14, 14, 14, 14, 14, 14, 14}, 9600, true},
        {"Marten on Hi", LoggerVariant::Marten(), {}, {14, 14}, 56000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Logger dev(sim::parseLoggerOptions(c.simArgs));
        Rig rig(&dev, c.variant);
        rig.link.SetBaudrate(1);
        EXPECT_EQ(rig.commandsSent(), c.commands);
        EXPECT_EQ(rig.port.settings(), std::to_string(c.baud) + ",n,8,1");
        EXPECT_TRUE(rig.port.isOpen());
        EXPECT_EQ(dev.baud(), c.baud);
        EXPECT_EQ(rig.state.CommsError, c.error);
    }
}

}  // namespace
}  // namespace kvr::test
