// A Marten run against a probe server: which records are fetched and in
// what order, what reaches the files, when the server is cleared, the port
// and its boxes, and the exit status.
#include <gtest/gtest.h>

#include "core/devtime.h"
#include "server_dump/run_end.h"
#include "sim/devices/probe_server.h"
#include "tests/marten/rig.h"

namespace kvr::test {
namespace {

struct RingCase {
    const char* name;
    std::int32_t next, end, slots, num;
    const char* reloadAnswer;  // nullptr: no "No Readings" box expected
    std::vector<int> fetched;  // a single -1: the whole ring, once
    bool files;
    bool cleared;
    int status;
    std::vector<std::string> titles;
};

class RingTest : public MartenTest, public ::testing::WithParamInterface<RingCase> {};

TEST_P(RingTest, FetchesInRingOrderClearsAndReports) {
    const RingCase& c = GetParam();
    MiniServer server;
    server.nextRecord = c.next;
    server.endRecord = c.end;
    server.recordSlots = c.slots;
    server.numReadings = c.num;
    port.attach(3, &server);
    storePort(3);
    clock.setNow(makeLocal(2000, 1, 2));
    if (c.reloadAnswer) screen.answer("No Readings", c.reloadAnswer);

    EXPECT_EQ(run->tmr_Timer(), c.status);
    EXPECT_EQ(server.fetched, c.fetched);
    if (c.files) {
        EXPECT_EQ(dumpRecNos(), c.fetched);
    }
    EXPECT_EQ(std::filesystem::exists(dump0()), c.files);
    EXPECT_EQ(server.clears, c.cleared ? 1 : 0);
    // The link stayed up, so the clock is set: 2000-01-02 in quarter minutes.
    EXPECT_EQ(server.dateSets, std::vector<std::uint32_t>{5760});
    EXPECT_EQ(titles(), c.titles);
}

INSTANTIATE_TEST_SUITE_P(
    Marten, RingTest,
    ::testing::Values(
        RingCase{"new", 10, 15, 1000, 5, nullptr, {10, 11, 12, 13, 14}, true, true, 0, {}},
        RingCase{"wrapping_new", 998, 2, 1000, 4, nullptr, {998, 999, 0, 1}, true, true, 0, {}},
        RingCase{"reload5", 3, 3, 1000, 0, "5", {998, 999, 0, 1, 2}, true, true, 0, {"No Readings"}},
        RingCase{"reload_past_the_ring", 3, 3, 1000, 0, "1005", {998, 999, 0, 1, 2}, true, true, 0, {"No Readings"}},
        RingCase{"reload_text", 3, 3, 1000, 0, " 2 readings", {1, 2}, true, true, 0, {"No Readings"}},
        RingCase{"reload0", 3, 3, 1000, 0, "0", {}, false, true, 0, {"No Readings"}},
        RingCase{"reload_cancel", 3, 3, 1000, 0, "", {}, false, true, 0, {"No Readings"}},
        // Pointers outside the ring: nothing read or written, nothing cleared.
        RingCase{"reload_no_slots", 3, 3, 0, 0, "5", {}, false, false, 1, {"ERROR"}},
        RingCase{"end_beyond_ring", 10, 2000, 1000, 5, nullptr, {}, false, false, 1, {"ERROR"}},
        RingCase{"end_at_ring_size", 10, 1000, 1000, 990, nullptr, {}, false, false, 1, {"ERROR"}},
        RingCase{"next_beyond_ring", 1500, 3, 1000, 5, nullptr, {}, false, false, 1, {"ERROR"}},
        RingCase{"next_negative", -1, 3, 1000, 4, nullptr, {}, false, false, 1, {"ERROR"}},
        RingCase{"slots_zero", 5, 7, 0, 2, nullptr, {}, false, false, 1, {"ERROR"}},
        // A count that disagrees with the ring: the ring's records, kept on the server.
        RingCase{"count_smaller", 10, 15, 1000, 2, nullptr, {10, 11, 12, 13, 14}, true, false, 1, {"ERROR"}},
        RingCase{"count_larger", 10, 15, 1000, 9, nullptr, {10, 11, 12, 13, 14}, true, false, 1, {"ERROR"}},
        RingCase{"count_zero", 10, 12, 1000, 0, nullptr, {10, 11}, true, false, 1, {"ERROR"}},
        RingCase{"count_without_records", 3, 3, 1000, 5, nullptr, {}, false, false, 1, {"ERROR"}}),
    [](const auto& info) { return std::string(info.param.name); });

class CutLinkTest : public MartenTest, public ::testing::WithParamInterface<int> {};

TEST_P(CutLinkTest, KeepsTheRowsSoFarAndLeavesTheServerUncleared) {
    MiniServer server;
    server.endRecord = 6;
    server.numReadings = 6;
    server.silentAfterRecords = GetParam();
    port.attach(3, &server);
    storePort(3);

    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(server.clears, 0);
    EXPECT_TRUE(server.dateSets.empty());
    EXPECT_EQ(server.fetched.size(), static_cast<std::size_t>(GetParam()));
    EXPECT_EQ(dumpRecNos(), server.fetched);
    EXPECT_EQ(lines(dataFile()).size(), static_cast<std::size_t>(GetParam() + 1));
    EXPECT_EQ(titles(), std::vector<std::string>{"NO COMMS"});
    EXPECT_EQ(screen.boxes[0].text,
              "The data download could not be completed. The communications to the server has been lost.");
    EXPECT_FALSE(port.isOpen());
}

INSTANTIATE_TEST_SUITE_P(Marten, CutLinkTest, ::testing::Values(0, 3, 5));

// Both methods against the simulated server; the bulk stream writes its rows
// only after the stream, so its failures are checked apart.
class SimServerTest : public MartenTest, public ::testing::WithParamInterface<int> {
protected:
    nlohmann::json runServer(std::vector<std::string> args) {
        args.insert(args.end(), {"--now", "2012-03-04 12:00", "--seed", "7"});
        sim::ProbeServer server(sim::parseProbeServerOptions(args));
        port.attach(3, &server);
        storePort(3);
        run->optSpeed = GetParam();
        status = run->tmr_Timer();
        port.detach(3);
        return server.state();
    }
    int status = -1;
};

// Both speeds take the same records from the same status: a count that
// disagrees with the ring gets the ring's records and no clear; a reload
// count past the ring wraps to the records it names, each once.
TEST_P(SimServerTest, BothSpeedsTakeTheSameRecordsFromTheSameStatus) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* reload;
        std::size_t rows;
        bool cleared;
    } cases[] = {
        {"count smaller", {"--count", "60", "--num", "30"}, nullptr, 60, false},
        {"count larger", {"--count", "60", "--num", "90"}, nullptr, 60, false},
        {"count zero", {"--count", "60", "--num", "0"}, nullptr, 60, false},
        {"reload past the ring", {"--count", "0", "--slots", "1000", "--next", "3"}, "1005", 5, true},
        {"reload of three rings", {"--count", "0", "--slots", "100", "--next", "3"}, "300", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        screen.boxes.clear();
        run = std::make_unique<MartenRun>(platform, folder);
        if (c.reload) screen.answer("No Readings", c.reload);
        const auto st = runServer(c.args);
        EXPECT_EQ(status, c.cleared ? 0 : 1);
        EXPECT_EQ(st["cleared"], c.cleared);
        EXPECT_EQ(c.rows ? lines(dump0()).size() - 1 : 0, c.rows);
    }
}

INSTANTIATE_TEST_SUITE_P(Marten, SimServerTest, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "Hi" : "Lo"; });

TEST_F(MartenTest, NoCommsBoxAnsweredWithAnotherPort) {
    MiniServer server;
    server.endRecord = 1;
    server.numReadings = 1;
    port.attach(3, nullptr);  // the port exists, nothing answers
    port.attach(5, &server);
    storePort(3);
    screen.answer("No Comms", "5");

    EXPECT_EQ(run->tmr_Timer(), 0);
    EXPECT_EQ(titles(), std::vector<std::string>{"No Comms"});
    EXPECT_EQ(screen.boxes[0].text,
              "Cannot connect to server, no comms.\rMake sure the server is plugged in and is switched on. "
              "Also make sure that the correct serial port number is specified.");
    EXPECT_EQ(server.clears, 1);
    EXPECT_EQ(setting("Port"), "5");
}

// Another run writing the folder for longer than LockWait: nothing is
// rotated or written, the server keeps its readings, its clock and its
// ring, and the run ends with its own status.
TEST_F(MartenTest, AFolderHeldTooLongIsLeftAloneAndTheServerUncleared) {
    MiniServer server;
    server.endRecord = 2;
    server.numReadings = 2;
    port.attach(3, &server);
    storePort(3);
    settings.set("KVR", "Startup", "LockWait", "5");
    FolderLock other;
    ASSERT_TRUE(other.lock(folder, 0, clock, screen));
    const std::int64_t start = clock.monotonicMs();

    EXPECT_EQ(run->tmr_Timer(), 4);
    EXPECT_GE(clock.monotonicMs() - start, 5000);
    EXPECT_TRUE(server.fetched.empty());
    EXPECT_EQ(server.clears, 0);
    EXPECT_TRUE(server.dateSets.empty());
    EXPECT_FALSE(std::filesystem::exists(folder / "KVR Dumps"));
    EXPECT_FALSE(std::filesystem::exists(dataFile()));
    EXPECT_EQ(titles(), std::vector<std::string>{"ERROR"});
    EXPECT_NE(screen.boxes[0].text.find(folder.string()), std::string::npos) << screen.boxes[0].text;
}

TEST_F(MartenTest, WindowClosedDuringTheNoReadingsBoxSendsNoFurtherCommand) {
    MiniServer server;
    server.endRecord = server.nextRecord = 4;
    port.attach(3, &server);
    storePort(3);
    screen.onYield = [&] {
        if (!screen.boxes.empty()) throw ProgramEnd{};
    };
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(titles(), std::vector<std::string>{"No Readings"});
    EXPECT_TRUE(server.dateSets.empty());
    EXPECT_EQ(server.clears, 0);
}

TEST_F(MartenTest, NoPortGivenEndsWithStatusOneAndKeepsTheSpeed) {
    // A box closed with the window answers as cancelled: the same path.
    run->optSpeed = 1;
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(titles(), std::vector<std::string>{"Serial Port"});
    EXPECT_EQ(setting("Speed"), "1");
    EXPECT_EQ(port.openCount, 0);
}

TEST_F(MartenTest, RetryingASilentPortEndsAfterTwentyPassesUnattendedOnly) {
    port.attach(3, nullptr);
    storePort(3);  // every "No Comms" box keeps its default: port 3 again
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(screen.boxes.size(), 20u);
    EXPECT_EQ(port.openCount, 20);
    EXPECT_FALSE(port.isOpen());

    // A person at the window is asked for as long as they give a port.
    screen.boxes.clear();
    port.openCount = 0;
    storePort(3);
    run = std::make_unique<MartenRun>(platform, folder);
    run->limitConnectionPasses = false;
    for (int i = 0; i < 24; ++i) screen.answer("No Comms", "3");
    screen.answer("No Comms", "0");
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(screen.boxes.size(), 25u);
    EXPECT_EQ(port.openCount, 25);
}

// A port that is refused or missing gets an "ERROR" box with the reason and
// the question again; the port that opens is stored. While ports are tried
// the stored one is 0, so a run that dies there asks next time.
TEST_F(MartenTest, AsksUntilAPortOpensAndStoresIt) {
    MiniServer server;
    port.attach(2, &server);
    port.failOpen(7, "Permission denied");
    storePort(7);
    screen.answer("ERROR", "8");  // no such port either
    screen.answer("ERROR", "2abc");
    run->OpenPort();
    EXPECT_EQ(port.isOpen() ? port.portNumber() : 0, 2);
    EXPECT_EQ(setting("Port"), "2");
    EXPECT_EQ(titles(), (std::vector<std::string>{"ERROR", "ERROR"}));
    EXPECT_EQ(screen.boxes[0].text, "Cannot open com7\rPermission denied\rPlease enter the serial port number "
                                    "the KVR Probe Server is connected to.");
    port.close();
    storePort(7);
    screen.answer("ERROR", "0");
    try {
        run->OpenPort();
        ADD_FAILURE() << "no port given, yet the run went on";
    } catch (const RunEnd& e) {
        EXPECT_EQ(e.status, 1);
    }
    EXPECT_EQ(setting("Port"), "0");
}

}  // namespace
}  // namespace kvr::test
