// The probe-server link over a real pseudo-terminal against the simulated
// server, with the real clock: what reaches the files must be exactly what
// the server's ring holds, however the line misbehaves.
#include <gtest/gtest.h>

#include "core/devtime.h"
#include "core/system_clock.h"
#include "core/server_record.h"
#include "files/record_rows.h"
#include "server_link/server_link.h"
#include "sim/devices/probe_server.h"
#include "sim/devices/pty_host.h"
#include "testing/fakes.h"
#include "testing/pty_port.h"
#include "tests/server_link/tiny_server.h"

namespace kvr {
namespace {

using sim::ProbeServer;
using sim::ProbeServerOptions;

ProbeServerOptions serverOptions(int slots, int next, int end, const char* mix = "k0=0.2,k1=0.7,k2=0.1") {
    ProbeServerOptions o;
    o.slots = slots;
    o.next = next;
    o.end = end;
    o.mix = sim::RecordMix::parse(mix);
    o.now = sim::parseLocalText("2013-05-06 07:08");
    o.faults.seed = 11;
    return o;
}

// A simulated server on a pseudo-terminal served from a background thread,
// and the link on the other side through port 3.
struct Rig {
    explicit Rig(const ProbeServerOptions& o) : device(o), host(device) {
        std::string err;
        opened = host.open(err);
        EXPECT_TRUE(opened) << err;
        if (!opened) return;
        host.startThread();
        port.setPath(3, host.slavePath());
        EXPECT_TRUE(port.open(3, err)) << err;
    }
    ~Rig() {
        port.close();
        host.stopThread();
    }

    ProbeServer device;
    sim::PtyHost host;
    bool opened = false;
    testing::PtySerialPort port;
    SystemClock clock;
    testing::MemorySettings settings;
    testing::ScriptedScreen screen;
    Platform platform{clock, port, settings, screen};
    LinkState state;
    ServerLink link{platform, state};
};

struct Files {
    test::TempFolder dir;
    RunFiles files;
    LowBatteryList low;
    Files() { EXPECT_TRUE(files.open(dir.path(), Program::Marten, makeLocal(2013, 5, 6, 8))); }
    std::string data() { return test::slurp(dataFilePath(dir.path())); }
    std::string dump() { return test::slurp(dumpFilePath(dir.path(), 0)); }
    void attach(ServerLink& link) {
        link.sink = [&](const DecodedRecord& rec) { writeRecord(rec, files, low); };
    }
};

// The files the ring's positions next..end-1 must give, decoded directly.
void expectedFiles(const ProbeServer& dev, int next, int end, Files& f) {
    const int slots = static_cast<int>(dev.ring().size());
    for (int p = next; p != end; p = (p + 1) % slots) {
        const auto& r = dev.ring()[static_cast<std::size_t>(p)];
        writeRecord(decodeRecord(RecordBytes(r.data(), 32)), f.files, f.low);
    }
    EXPECT_TRUE(f.files.close());
}

// The host keeps a slave descriptor open, so the program closing its side
// never makes the master report a hang-up and stop serving.
TEST(PtyServer, StatusOverARealTerminalAcrossReopening) {
    Rig rig(serverOptions(300, 290, 25));
    ASSERT_TRUE(rig.opened);
    for (int round = 0; round < 3; ++round) {
        rig.link.v5GetStatus();
        ASSERT_FALSE(rig.state.CommsError) << round;
        EXPECT_EQ(rig.state.NextRecord, 290);
        EXPECT_EQ(rig.state.EndRecord, 25);
        EXPECT_EQ(rig.state.RecordSlots, 300);
        EXPECT_EQ(rig.state.NumReadings, 35);
        rig.port.close();
        std::string err;
        ASSERT_TRUE(rig.port.open(3, err)) << err;
    }
    EXPECT_EQ(rig.host.deviceState()["requests"]["status"], 3);
}

// Record by record over a wrapping ring with every record kind, through
// noise and damaged answers: every position once, one retry per damaged
// answer and no more.
TEST(PtyServer, RecordByRecordThroughDamagedAnswers) {
    auto o = serverOptions(50, 40, 10,
                           "k0=0.15,k1=0.55,k2=0.1,settings=0.05,repeater=0.05,unknown=0.05,badcheck=0.03,zero=0.02");
    o.faults.noise = 9;
    o.faults.corruptEvery = 3;
    o.faults.wrongEchoEvery = 5;
    Rig rig(o);
    ASSERT_TRUE(rig.opened);
    rig.link.v5GetStatus();
    ASSERT_FALSE(rig.state.CommsError);
    Files got, want;
    got.attach(rig.link);
    int fetched = 0;
    for (std::int32_t p = rig.state.NextRecord; p != rig.state.EndRecord && fetched < 50; p = (p + 1) % 50, ++fetched) {
        rig.link.GetReading(p);
        ASSERT_FALSE(rig.state.CommsError) << "position " << p;
    }
    EXPECT_EQ(fetched, 20);
    EXPECT_TRUE(got.files.close());
    expectedFiles(rig.device, 40, 10, want);
    EXPECT_EQ(got.dump(), want.dump());
    EXPECT_EQ(got.data(), want.data());
    EXPECT_EQ(got.low.count(), want.low.count());
    auto st = rig.host.deviceState();
    const int damaged = st["faults"]["applied"].value("corruptCheck", 0) + st["faults"]["applied"].value("wrongEcho", 0);
    EXPECT_EQ(st["faults"]["exchanges"], 21 + damaged);
    EXPECT_GT(damaged, 5);
}

// The bulk stream gives the rows of a record-by-record walk, in ring order;
// what it loses is fetched again, one request per lost record.
TEST(PtyServer, BulkDownloadWithLostFrames) {
    struct Case {
        const char* name;
        std::function<void(sim::FaultOptions&)> faults;
        int refetched;
    };
    const std::vector<Case> cases = {
        {"clean", [](sim::FaultOptions&) {}, 0},
        {"cut after 12", [](sim::FaultOptions& f) { f.cutAfter = 12; }, 18},
        {"frames dropped and garbled", [](sim::FaultOptions& f) { f.dropFrames = {0, 7}; f.garbleFrames = {29}; }, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto o = serverOptions(60, 50, 20);
        c.faults(o.faults);
        Rig rig(o);
        ASSERT_TRUE(rig.opened);
        rig.link.v5GetStatus();
        Files got, want;
        got.attach(rig.link);
        rig.link.DumpAll();
        EXPECT_FALSE(rig.state.CommsError);
        EXPECT_TRUE(got.files.close());
        expectedFiles(rig.device, 50, 20, want);
        EXPECT_EQ(got.data(), want.data());
        EXPECT_EQ(got.dump(), want.dump());
        EXPECT_EQ(got.low.count(), want.low.count());
        EXPECT_EQ(rig.link.BackFilledRecords, c.refetched);
        auto st = rig.host.deviceState();
        EXPECT_EQ(st["requests"]["read"], c.refetched);
        EXPECT_EQ(st["bulkStarts"], nlohmann::json::array({50}));
    }
}

TEST(PtyServer, CutStreamOnADyingLinkEndsWithCommsError) {
    auto o = serverOptions(60, 50, 20);
    o.faults.cutAfter = 5;
    o.faults.silentAfter = 2;  // status and the bulk start, then nothing
    Rig rig(o);
    ASSERT_TRUE(rig.opened);
    rig.link.v5GetStatus();
    ASSERT_FALSE(rig.state.CommsError);
    Files got;
    got.attach(rig.link);
    const auto t0 = rig.clock.monotonicMs();
    rig.link.DumpAll();
    EXPECT_TRUE(rig.state.CommsError);
    // Five seconds of silence end the stream; a dead link then costs one
    // record's four attempts, not one per missing position.
    EXPECT_LT(rig.clock.monotonicMs() - t0, 12'000);
    EXPECT_TRUE(got.files.close());
    EXPECT_EQ(rig.host.deviceState()["cleared"], false);
}

}  // namespace
}  // namespace kvr
