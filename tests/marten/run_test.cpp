// A Marten run against a probe server: which records are fetched and in
// what order, what reaches the files, when the server is cleared, the port
// and its boxes, and the exit status. Counts that disagree with the ring at
// both speeds, reloads past it and links cut part-way are held by the fault
// matrix and the end-to-end runs.
#include "core/devtime.h"
#include "server_dump/run_end.h"
#include "tests/marten/rig.h"

namespace kvr::test {
namespace {

struct RingCase {
    const char* name;
    std::int32_t next, end, slots, num;
    const char* reloadAnswer;  // nullptr: no "No Readings" box expected
    std::vector<int> fetched;
    int status;  // 0 only when complete, and only then cleared
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
    serve(&server);
    clock.setNow(makeLocal(2000, 1, 2));
    if (c.reloadAnswer) screen.answer("No Readings", c.reloadAnswer);

    EXPECT_EQ(run->tmr_Timer(), c.status);
    EXPECT_EQ(server.fetched, c.fetched);
    EXPECT_EQ(fs::exists(dump0()), !c.fetched.empty());
    EXPECT_EQ(dumpRecNos(), c.fetched);
    EXPECT_EQ(server.clears, c.status == 0 ? 1 : 0);
    // The link stayed up, so the clock is set: 2000-01-02 in quarter minutes.
    EXPECT_EQ(server.dateSets, std::vector<std::uint32_t>{5760});
    EXPECT_EQ(titles(), c.titles);
}

INSTANTIATE_TEST_SUITE_P(
    Marten, RingTest,
    ::testing::Values(
        RingCase{"new", 10, 15, 1000, 5, nullptr, {10, 11, 12, 13, 14}, 0, {}},
        RingCase{"wrapping_new", 998, 2, 1000, 4, nullptr, {998, 999, 0, 1}, 0, {}},
        RingCase{"reload5", 3, 3, 1000, 0, "5", {998, 999, 0, 1, 2}, 0, {"No Readings"}},
        RingCase{"reload_text", 3, 3, 1000, 0, " 2 readings", {1, 2}, 0, {"No Readings"}},
        RingCase{"reload0", 3, 3, 1000, 0, "0", {}, 0, {"No Readings"}},
        RingCase{"reload_cancel", 3, 3, 1000, 0, "", {}, 0, {"No Readings"}},
        RingCase{"reload_of_three_rings", 3, 3, 100, 0, "300", {}, 0, {"No Readings"}},
        // Pointers outside the ring: nothing read or written, nothing cleared.
        RingCase{"reload_no_slots", 3, 3, 0, 0, "5", {}, 1, {"ERROR"}},
        RingCase{"end_at_ring_size", 10, 1000, 1000, 990, nullptr, {}, 1, {"ERROR"}},
        RingCase{"next_beyond_ring", 1500, 3, 1000, 5, nullptr, {}, 1, {"ERROR"}},
        RingCase{"next_negative", -1, 3, 1000, 4, nullptr, {}, 1, {"ERROR"}},
        RingCase{"slots_zero", 5, 7, 0, 2, nullptr, {}, 1, {"ERROR"}},
        // A count that disagrees with the ring (more in the matrix): nothing to read, nothing cleared.
        RingCase{"count_without_records", 3, 3, 1000, 5, nullptr, {}, 1, {"ERROR"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Another run writing the folder for longer than LockWait: nothing is
// rotated or written, the server keeps its readings, its clock and its
// ring, and the run ends with its own status.
TEST_F(MartenTest, AFolderHeldTooLongIsLeftAloneAndTheServerUncleared) {
    MiniServer server(2);
    serve(&server);
    settings.set("KVR", "Startup", "LockWait", "5");
    FolderLock other;
    ASSERT_TRUE(other.lock(dir, 0, clock, screen));
    const std::int64_t start = clock.monotonicMs();

    EXPECT_EQ(run->tmr_Timer(), 4);
    EXPECT_GE(clock.monotonicMs() - start, 5000);
    EXPECT_TRUE(server.fetched.empty());
    EXPECT_EQ(server.clears, 0);
    EXPECT_TRUE(server.dateSets.empty());
    EXPECT_FALSE(fs::exists(dir / "KVR Dumps"));
    EXPECT_FALSE(fs::exists(dataFile()));
    EXPECT_EQ(titles(), std::vector<std::string>{"ERROR"});
    EXPECT_NE(screen.boxes[0].text.find(dir.string()), std::string::npos) << screen.boxes[0].text;
}

TEST_F(MartenTest, WindowClosedDuringTheNoReadingsBoxSendsNoFurtherCommand) {
    MiniServer server;
    server.endRecord = server.nextRecord = 4;
    serve(&server);
    screen.onYield = [&] {
        if (!screen.boxes.empty()) throw ProgramEnd{};
    };
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(titles(), std::vector<std::string>{"No Readings"});
    EXPECT_TRUE(server.dateSets.empty());
    EXPECT_EQ(server.clears, 0);
}

TEST_F(MartenTest, RetryingASilentPortEndsAfterTwentyPassesUnattendedOnly) {
    port.attach(3, nullptr);  // the port exists, nothing answers
    storePort(3);             // every "No Comms" box keeps its default: port 3 again
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(screen.boxes.size(), 20u);
    EXPECT_EQ(screen.boxes[0].text,
              "Cannot connect to server, no comms.\rMake sure the server is plugged in and is switched on. "
              "Also make sure that the correct serial port number is specified.");
    EXPECT_EQ(port.openCount, 20);
    EXPECT_FALSE(port.isOpen());

    // A person at the window is asked for as long as they give a port; the
    // port that answers is stored.
    MiniServer server(1);
    port.attach(5, &server);
    screen.boxes.clear();
    port.openCount = 0;
    storePort(3);
    run = std::make_unique<MartenRun>(platform, dir);
    run->limitConnectionPasses = false;
    for (int i = 0; i < 24; ++i) screen.answer("No Comms", "3");
    screen.answer("No Comms", "5");
    EXPECT_EQ(run->tmr_Timer(), 0);
    EXPECT_EQ(titles(), std::vector<std::string>(25, "No Comms"));
    EXPECT_EQ(port.openCount, 26);
    EXPECT_EQ(server.clears, 1);
    EXPECT_EQ(setting("Port"), "5");
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
