// The probe-server link over a real pseudo-terminal against the simulated
// server, with the real clock: what reaches the files must be exactly what
// the server's ring holds, however the line misbehaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "core/devtime.h"
#include "core/system_clock.h"
#include "server_link/record.h"
#include "server_link/server_link.h"
#include "sim/devices/probe_server.h"
#include "sim/devices/pty_host.h"
#include "testing/fakes.h"
#include "testing/pty_port.h"

namespace kvr {
namespace {

using sim::ProbeServer;
using sim::ProbeServerOptions;

class TempFolder {
public:
    TempFolder() {
        static int n = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("kvr-pty-" + std::to_string(::getpid()) + "-" + std::to_string(++n));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> v;
    std::stringstream s(text);
    for (std::string l; std::getline(s, l);) v.push_back(l);
    std::sort(v.begin(), v.end());
    return v;
}

ProbeServerOptions serverOptions(int slots, int next, int end, const char* mix = "k1=1") {
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
    explicit Rig(const ProbeServerOptions& o, bool pace = false) : device(o), host(device, pace) {
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
    nlohmann::json deviceState() { return host.deviceState(); }

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
    TempFolder dir;
    RunFiles files;
    LowBatteryList low;
    Files() { EXPECT_TRUE(files.open(dir.path(), Program::Marten, makeLocal(2013, 5, 6, 8))); }
    std::string data() { return slurp(dataFilePath(dir.path())); }
    std::string dump() { return slurp(dumpFilePath(dir.path(), 0)); }
};

// Record by record from NextRecord to EndRecord, as the download run walks
// the ring; the walk is bounded by the ring's size whatever the status said.
int walkRing(Rig& rig, Files& f) {
    rig.link.files = &f.files;
    rig.link.lowList = &f.low;
    std::int32_t p = rig.state.NextRecord;
    int fetched = 0;
    while (p != rig.state.EndRecord && fetched <= rig.state.RecordSlots) {
        rig.link.GetReading(p);
        if (rig.state.CommsError) break;
        ++fetched;
        if (++p >= rig.state.RecordSlots) p = 0;
    }
    return fetched;
}

// The files the ring's positions next..end-1 must give, decoded directly.
void expectedFiles(const ProbeServer& dev, int next, int end, Files& f) {
    const int slots = static_cast<int>(dev.ring().size());
    for (int p = next; p != end; p = (p + 1) % slots) {
        const auto& r = dev.ring()[static_cast<std::size_t>(p)];
        writeRecord(decodeRecord(RecordBytes(r.data(), 32)), f.files, f.low);
    }
    EXPECT_TRUE(f.files.close());
}

TEST(PtyServer, StatusOverARealTerminal) {
    Rig rig(serverOptions(300, 290, 25));
    ASSERT_TRUE(rig.opened);
    rig.link.v5GetStatus();
    ASSERT_FALSE(rig.state.CommsError);
    EXPECT_EQ(rig.state.NextRecord, 290);
    EXPECT_EQ(rig.state.EndRecord, 25);
    EXPECT_EQ(rig.state.RecordSlots, 300);
    EXPECT_EQ(rig.state.NumReadings, 35);
    EXPECT_EQ(rig.deviceState()["requests"]["status"], 1);
    EXPECT_EQ(rig.deviceState()["requests"]["rejected"], 0);
}

TEST(PtyServer, RecordByRecordOverAWrappingRingWritesEveryPositionOnce) {
    // A realistic mix, so marker lines and dump-only rows travel too.
    auto o = serverOptions(40, 31, 9,
                           "k0=0.15,k1=0.55,k2=0.1,settings=0.05,repeater=0.05,unknown=0.05,badcheck=0.03,zero=0.02");
    Rig rig(o);
    ASSERT_TRUE(rig.opened);
    rig.link.v5GetStatus();
    ASSERT_FALSE(rig.state.CommsError);
    Files got, want;
    EXPECT_EQ(walkRing(rig, got), 18);
    EXPECT_FALSE(rig.state.CommsError);
    EXPECT_TRUE(got.files.close());
    expectedFiles(rig.device, 31, 9, want);
    EXPECT_EQ(got.dump(), want.dump());
    EXPECT_EQ(got.data(), want.data());
    EXPECT_EQ(got.low.count(), want.low.count());
    auto sent = rig.deviceState()["sentPositions"];
    EXPECT_EQ(sent.size(), 18u);
    for (auto& [pos, n] : sent.items()) EXPECT_EQ(n, 1) << "position " << pos;
}

TEST(PtyServer, BulkGivesTheSameRowsAsRecordByRecord) {
    auto o = serverOptions(60, 50, 20, "k0=0.2,k1=0.7,k2=0.1");
    Files byRecord, bulk;
    {
        Rig rig(o);
        ASSERT_TRUE(rig.opened);
        rig.link.v5GetStatus();
        walkRing(rig, byRecord);
        ASSERT_FALSE(rig.state.CommsError);
        EXPECT_TRUE(byRecord.files.close());
    }
    {
        Rig rig(o);
        ASSERT_TRUE(rig.opened);
        rig.link.v5GetStatus();
        rig.link.files = &bulk.files;
        rig.link.lowList = &bulk.low;
        rig.link.DumpAll();
        EXPECT_FALSE(rig.state.CommsError);
        EXPECT_TRUE(bulk.files.close());
        EXPECT_EQ(rig.link.BackFilledRecords, 0);
        EXPECT_EQ(rig.deviceState()["requests"]["read"], 0);
        EXPECT_EQ(rig.deviceState()["bulkStarts"], nlohmann::json::array({50}));
    }
    EXPECT_EQ(bulk.data(), byRecord.data());
    EXPECT_EQ(bulk.dump(), byRecord.dump());
    EXPECT_EQ(bulk.low.count(), byRecord.low.count());
}

TEST(PtyServer, LostBulkFramesAreBackFilledToTheSameRows) {
    struct Case {
        const char* name;
        std::function<void(sim::FaultOptions&)> faults;
        int refetched;
    };
    const std::vector<Case> cases = {
        {"cut after 12", [](sim::FaultOptions& f) { f.cutAfter = 12; }, 18},
        {"frames dropped and garbled", [](sim::FaultOptions& f) { f.dropFrames = {0, 7}; f.garbleFrames = {29}; }, 3},
    };
    for (const auto& c : cases) {
        auto o = serverOptions(60, 50, 20, "k0=0.2,k1=0.7,k2=0.1");
        c.faults(o.faults);
        Rig rig(o);
        ASSERT_TRUE(rig.opened);
        rig.link.v5GetStatus();
        Files got, want;
        rig.link.files = &got.files;
        rig.link.lowList = &got.low;
        rig.link.DumpAll();
        EXPECT_FALSE(rig.state.CommsError) << c.name;
        EXPECT_TRUE(got.files.close());
        expectedFiles(rig.device, 50, 20, want);
        // Back-filled rows may come after the streamed ones; none lost, none twice.
        EXPECT_EQ(sortedLines(got.data()), sortedLines(want.data())) << c.name;
        EXPECT_EQ(sortedLines(got.dump()), sortedLines(want.dump())) << c.name;
        EXPECT_EQ(rig.link.BackFilledRecords, c.refetched) << c.name;
        EXPECT_EQ(rig.deviceState()["requests"]["read"], c.refetched) << c.name;
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
    rig.link.files = &got.files;
    rig.link.lowList = &got.low;
    const auto t0 = rig.clock.monotonicMs();
    rig.link.DumpAll();
    const auto took = rig.clock.monotonicMs() - t0;
    EXPECT_TRUE(rig.state.CommsError);
    // Five seconds of silence end the stream; a dead link then costs one
    // record's four attempts, not one per missing position.
    EXPECT_LT(took, 12'000);
    EXPECT_TRUE(got.files.close());
    EXPECT_EQ(rig.deviceState()["cleared"], false);
}

TEST(PtyServer, NoiseAndDamagedAnswersAreRecoveredByRetries) {
    auto o = serverOptions(50, 10, 30, "k0=0.2,k1=0.6,k2=0.1,settings=0.1");
    o.faults.noise = 9;
    o.faults.corruptEvery = 3;
    o.faults.wrongEchoEvery = 5;
    Rig rig(o);
    ASSERT_TRUE(rig.opened);
    rig.link.v5GetStatus();
    ASSERT_FALSE(rig.state.CommsError);
    Files got, want;
    EXPECT_EQ(walkRing(rig, got), 20);
    EXPECT_FALSE(rig.state.CommsError);
    EXPECT_TRUE(got.files.close());
    expectedFiles(rig.device, 10, 30, want);
    EXPECT_EQ(got.dump(), want.dump());
    EXPECT_EQ(got.data(), want.data());
    auto st = rig.deviceState();
    const int exchanges = st["faults"]["exchanges"];
    const int damaged = st["faults"]["applied"].value("corruptCheck", 0) + st["faults"]["applied"].value("wrongEcho", 0);
    // One retry per damaged answer, no more.
    EXPECT_EQ(exchanges, 21 + damaged);
    EXPECT_GT(damaged, 5);
}

TEST(PtyServer, ThePortCanBeClosedAndOpenedAgain) {
    // The host keeps a slave descriptor open, so the program closing its
    // side never makes the master report a hang-up and stop serving.
    Rig rig(serverOptions(10, 0, 5));
    ASSERT_TRUE(rig.opened);
    for (int round = 0; round < 3; ++round) {
        rig.link.v5GetStatus();
        EXPECT_FALSE(rig.state.CommsError) << round;
        rig.port.close();
        std::string err;
        ASSERT_TRUE(rig.port.open(3, err)) << err;
    }
    EXPECT_EQ(rig.deviceState()["requests"]["status"], 3);
}

TEST(PtyServer, LineRateChangesReachTheDevice) {
    Rig rig(serverOptions(10, 0, 5));
    ASSERT_TRUE(rig.opened);
    for (const char* s : {"56000,n,8,1", "9600,n,8,1"}) {
        ASSERT_TRUE(rig.port.setSettings(s));
        std::string seen;
        for (int i = 0; i < 100 && seen != s; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            seen = rig.host.lineSettings();
        }
        EXPECT_EQ(seen, s);
    }
    auto changes = rig.deviceState()["lineSettings"];
    ASSERT_GE(changes.size(), 2u);
    EXPECT_EQ(changes[changes.size() - 2], "56000,n,8,1");
    EXPECT_EQ(changes.back(), "9600,n,8,1");
}

TEST(PtyServer, PacedOutputTakesTheLinesTime) {
    // 30 frames of 36 bytes at 9600 baud, 10 bits a byte: about 1.1 s.
    auto timeBulk = [](bool pace) {
        Rig rig(serverOptions(40, 0, 30), pace);
        EXPECT_TRUE(rig.opened);
        rig.link.v5GetStatus();
        Files f;
        rig.link.files = &f.files;
        rig.link.lowList = &f.low;
        auto t0 = rig.clock.monotonicMs();
        rig.link.DumpAll();
        auto took = rig.clock.monotonicMs() - t0;
        EXPECT_FALSE(rig.state.CommsError);
        EXPECT_TRUE(f.files.close());
        return took;
    };
    EXPECT_GE(timeBulk(true), 1000);
    EXPECT_LT(timeBulk(false), 900);
}

}  // namespace
}  // namespace kvr
