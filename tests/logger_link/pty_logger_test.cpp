// The logger link over a real pseudo-terminal against the simulated logger,
// with the real clock: a whole download run per logger layout, with the
// baud switch and its fallback.
#include <gtest/gtest.h>

#include "core/system_clock.h"
#include "sim/devices/pty_host.h"
#include "files/probe_files.h"
#include "files/running_file.h"
#include "testing/pty_port.h"
#include "tests/logger_link/rig.h"

namespace kvr::test {
namespace {

using Type = sim::LoggerOptions::Type;

struct PtyRig {
    explicit PtyRig(const sim::LoggerOptions& o) : device(o), host(device) {
        std::string err;
        opened = host.open(err);
        EXPECT_TRUE(opened) << err;
        if (!opened) return;
        host.startThread();
        port.setPath(2, host.slavePath());
        EXPECT_TRUE(port.open(2, err)) << err;
    }
    ~PtyRig() {
        port.close();
        host.stopThread();
    }

    sim::Logger device;
    sim::PtyHost host;
    bool opened = false;
    testing::PtySerialPort port;
    SystemClock clock;
    testing::MemorySettings settings;
    testing::ScriptedScreen screen;
    Platform platform{clock, port, settings, screen};
    LinkState state;
    LoggerLink link{platform, state, LoggerVariant::Otter()};
};

sim::LoggerOptions options(Type t, std::vector<std::string> extra = {}) {
    // Dated by the present time: the link drops records from the future by
    // the real clock.
    std::vector<std::string> args{"--seed", "3"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto o = sim::parseLoggerOptions(args);
    o.type = t;
    return o;
}

// The order of a scan: status, up to 56000, download, back to 9600, clear,
// set the clock.
TEST(PtyLogger, WholeRunPerLayout) {
    struct RunCase {
        const char* name;
        Type type;
        std::vector<std::string> extra;
        int clearCommand;
        bool serverClock;
        std::vector<int> baudSwitches;
    };
    const std::vector<RunCase> cases = {
        // Up, the check at the new speed, down.
        {"ordinary", Type::Ordinary, {}, 3, false, {56000, 56000, 9600}},
        {"extended", Type::Extended, {"--noise", "3"}, 3, false, {56000, 56000, 9600}},
        {"server", Type::Server, {"--corrupt-every", "5"}, 27, true, {56000, 56000, 9600}},
        // The logger stays at 9600: the check goes unheard, both sides fall
        // back to 9600 and the run goes on there.
        {"server without high speed", Type::Server, {"--no-high-speed"}, 27, true, {56000, 9600, 9600}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        PtyRig rig(options(c.type, c.extra));
        ASSERT_TRUE(rig.opened);
        RunningFile file(dir.path);
        rig.link.GetStatus();
        ASSERT_FALSE(rig.state.CommsError);
        const std::int32_t end = rig.state.EndRecord;
        rig.link.SetBaudrate(1);
        ASSERT_FALSE(rig.state.CommsError);
        EXPECT_EQ(rig.port.settings(), c.baudSwitches[1] == 56000 ? "56000,n,8,1" : "9600,n,8,1");
        const auto walk = rig.link.ExtendedStatus ? rig.link.GetRadioData(file) : rig.link.GetData(file);
        EXPECT_TRUE(walk.kept) << file.failure();
        EXPECT_FALSE(rig.state.CommsError);
        rig.link.SetBaudrate(0);
        EXPECT_FALSE(rig.state.CommsError);
        EXPECT_EQ(rig.port.settings(), "9600,n,8,1");
        rig.link.ClearReadings();
        EXPECT_FALSE(rig.state.CommsError);
        rig.link.SetLoggerDate();
        EXPECT_FALSE(rig.state.CommsError);

        std::string want = std::string(kDataHeader) + "\r\n";
        for (auto& r : rig.device.expectedRows()) want += r;
        EXPECT_EQ(readFile(dataFilePath(dir.path)), want);

        auto st = rig.host.deviceState();
        EXPECT_EQ(st["baudSwitches"], c.baudSwitches);
        EXPECT_EQ(st["baud"], 9600);
        // A corrupt acknowledgement makes the link repeat the clear.
        ASSERT_GE(st["clears"].size(), 1u);
        EXPECT_EQ(st["clears"].back()["command"], c.clearCommand);
        EXPECT_EQ(st["clears"].back()["endRecord"], c.type == Type::Ordinary ? 0 : end);
        EXPECT_EQ(st["clockSetTo"].is_null(), !c.serverClock);
        EXPECT_EQ(st["dateSet"].is_null(), c.serverClock);
        EXPECT_EQ(st["badFrames"], 0);
    }
}

}  // namespace
}  // namespace kvr::test
