// The download run against an in-process probe server: which records are
// fetched, what reaches the files, when the server is cleared, what the
// user is told and the exit status.
#include <gtest/gtest.h>

#include "core/devtime.h"
#include "server_dump/run_end.h"
#include "tests/marten/mini_server.h"
#include "tests/marten/run_fixture.h"

namespace kvr::testing {
namespace {

struct RingCase {
    const char* name;
    std::int32_t next, end, slots, num;
    const char* reloadAnswer;  // nullptr: no "No Readings" box expected
    std::vector<int> fetched;
    bool cleared;
    bool filesTouched;
    int status;
    std::vector<std::string> titles;
};

class RingTest : public RunFixture, public ::testing::WithParamInterface<RingCase> {};

TEST_P(RingTest, FetchesClearsAndReports) {
    const RingCase& c = GetParam();
    MiniServer server;
    server.nextRecord = c.next;
    server.endRecord = c.end;
    server.recordSlots = c.slots;
    server.numReadings = c.num;
    port.attach(3, &server);
    storePort(3);
    if (c.reloadAnswer) screen.answer("No Readings", c.reloadAnswer);

    const int status = run->tmr_Timer();

    EXPECT_EQ(status, c.status);
    if (c.fetched.size() <= 20) {
        EXPECT_EQ(server.fetched, c.fetched);
    } else {
        EXPECT_EQ(server.fetched.size(), c.fetched.size());
    }
    EXPECT_EQ(server.clears, c.cleared ? 1 : 0);
    EXPECT_EQ(server.dateSets.size(), 1u) << "the link stayed up, so the clock is set";
    EXPECT_EQ(std::filesystem::exists(dump0()), c.filesTouched);
    if (c.filesTouched && c.fetched.size() <= 20) {
        EXPECT_EQ(dumpRecNos(), c.fetched);
    }
    std::vector<std::string> titles;
    for (auto& b : screen.boxes) titles.push_back(b.title);
    EXPECT_EQ(titles, c.titles);
}

INSTANTIATE_TEST_SUITE_P(
    Marten, RingTest,
    ::testing::Values(
        RingCase{"new", 10, 15, 1000, 5, nullptr, {10, 11, 12, 13, 14}, true, true, 0, {}},
        RingCase{"wrapping_new", 998, 2, 1000, 4, nullptr, {998, 999, 0, 1}, true, true, 0, {}},
        RingCase{"reload5", 3, 3, 1000, 0, "5", {998, 999, 0, 1, 2}, true, true, 0, {"No Readings"}},
        RingCase{"reload1005", 3, 3, 1000, 0, "1005", {998, 999, 0, 1, 2}, true, true, 0, {"No Readings"}},
        RingCase{"reload_text", 3, 3, 1000, 0, " 2 readings", {1, 2}, true, true, 0, {"No Readings"}},
        RingCase{"reload0", 3, 3, 1000, 0, "0", {}, true, false, 0, {"No Readings"}},
        RingCase{"reload_cancel", 3, 3, 1000, 0, "", {}, true, false, 0, {"No Readings"}},
        RingCase{"reload_no_slots", 3, 3, 0, 0, "5", {}, false, false, 1, {"No Readings", "ERROR"}},
        // End beyond the ring: the walk would never meet it.
        RingCase{"end_beyond_ring", 10, 2000, 1000, 5, nullptr, std::vector<int>(1000), false, true, 1, {"ERROR"}},
        RingCase{"next_beyond_ring", 1500, 3, 1000, 5, nullptr, std::vector<int>(1000), false, true, 1, {"ERROR"}},
        RingCase{"slots_zero", 5, 7, 0, 2, nullptr, {}, false, true, 1, {"ERROR"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunFixture, ProgressOfAReloadIsCountedAgainstTheAnswer) {
    MiniServer server;
    server.endRecord = 3;
    port.attach(3, &server);
    storePort(3);
    screen.answer("No Readings", "1005");
    ASSERT_EQ(run->tmr_Timer(), 0);
    EXPECT_EQ(screen.progress, (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_NE(std::find(screen.events.begin(), screen.events.end(), "Loading reading 5/1005"), screen.events.end());
}

TEST_F(RunFixture, ClockIsSetToServerUnitsOfNow) {
    MiniServer server;
    server.nextRecord = 0;
    server.endRecord = 1;
    server.numReadings = 1;
    port.attach(3, &server);
    storePort(3);
    clock.setNow(makeLocal(2000, 1, 2));
    ASSERT_EQ(run->tmr_Timer(), 0);
    ASSERT_EQ(server.dateSets.size(), 1u);
    EXPECT_EQ(server.dateSets[0], 5760u);
    EXPECT_EQ(server.clears, 1);
}

struct CutCase {
    const char* name;
    int silentAfter;
    int rows;
};

class CutLinkTest : public RunFixture, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutLinkTest, KeepsRowsSoFarAndLeavesTheServerUncleared) {
    MiniServer server;
    server.nextRecord = 0;
    server.endRecord = 6;
    server.numReadings = 6;
    server.silentAfterRecords = GetParam().silentAfter;
    port.attach(3, &server);
    storePort(3);

    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(server.clears, 0);
    EXPECT_TRUE(server.dateSets.empty());
    EXPECT_EQ(static_cast<int>(dumpRecNos().size()), GetParam().rows);
    EXPECT_EQ(static_cast<int>(lines(dataFile()).size()), GetParam().rows + 1);
    ASSERT_NE(box("NO COMMS"), nullptr);
    EXPECT_EQ(box("NO COMMS")->text,
              "The data download could not be completed. The communications to the server has been lost.");
    EXPECT_FALSE(port.isOpen());
}

INSTANTIATE_TEST_SUITE_P(Marten, CutLinkTest,
                         ::testing::Values(CutCase{"first", 0, 0}, CutCase{"middle", 3, 3}, CutCase{"last", 5, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunFixture, WriteFailureKeepsReadingsOnTheServerAndNamesTheFile) {
    MiniServer server;
    server.nextRecord = 0;
    server.endRecord = 3;
    server.numReadings = 3;
    port.attach(3, &server);
    storePort(3);
    // A disk that is full: opening works, writing does not.
    std::filesystem::create_symlink("/dev/full", dataFile());

    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(server.fetched.size(), 3u);
    EXPECT_EQ(server.dateSets.size(), 1u) << "the clock is still set";
    EXPECT_EQ(server.clears, 0);
    ASSERT_NE(box("ERROR"), nullptr);
    EXPECT_NE(box("ERROR")->text.find("KVR Probe Data.csv"), std::string::npos) << box("ERROR")->text;
    EXPECT_NE(box("ERROR")->text.find("left on the unit"), std::string::npos);
    EXPECT_EQ(box("NO COMMS"), nullptr);
}

TEST_F(RunFixture, LowBatteriesAreReportedAfterTheRun) {
    MiniServer server;
    server.nextRecord = 0;
    server.endRecord = 2;
    server.numReadings = 2;
    server.voltCode = 7;  // 3.1 V
    port.attach(3, &server);
    storePort(3);
    EXPECT_EQ(run->tmr_Timer(), 0);
    ASSERT_NE(box("Low Batteries"), nullptr);
    EXPECT_EQ(box("Low Batteries")->text, "The following units have low battery readings:\r100 (3.1V), 101 (3.1V)");
}

TEST_F(RunFixture, NoCommsBoxAnsweredWithAnotherPort) {
    MiniServer server;
    server.nextRecord = 0;
    server.endRecord = 1;
    server.numReadings = 1;
    port.attach(3, nullptr);  // the port exists, nothing answers
    port.attach(5, &server);
    storePort(3);
    screen.answer("No Comms", "5");

    EXPECT_EQ(run->tmr_Timer(), 0);
    ASSERT_NE(box("No Comms"), nullptr);
    EXPECT_EQ(box("No Comms")->answer, "5");
    EXPECT_EQ(box("No Comms")->text,
              "Cannot connect to server, no comms.\rMake sure the server is plugged in and is switched on. Also make "
              "sure that the correct serial port number is specified.");
    EXPECT_EQ(server.clears, 1);
    EXPECT_EQ(setting("Port"), "5");
}

TEST_F(RunFixture, NoPortGivenEndsWithStatusOneAndKeepsTheSpeed) {
    // A box closed with the window answers as cancelled: the same path.
    run->optSpeed = 1;
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(boxTitles(), std::vector<std::string>{"Serial Port"});
    EXPECT_EQ(setting("Speed"), "1");
    EXPECT_EQ(setting("Port"), "<absent>");
    EXPECT_EQ(port.openCount, 0);
}

TEST_F(RunFixture, RetryingASilentPortEndsAfterABoundedNumberOfPasses) {
    port.attach(3, nullptr);
    storePort(3);  // every "No Comms" box keeps its default: port 3 again
    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(static_cast<int>(screen.boxes.size()), MartenRun::kMaxConnectionPasses);
    EXPECT_EQ(port.openCount, MartenRun::kMaxConnectionPasses);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(RunFixture, NoCommsBoxDefaultIsTheCurrentPortAndZeroEnds) {
    port.attach(3, nullptr);
    storePort(3);
    screen.answer("No Comms", "0");
    EXPECT_EQ(run->tmr_Timer(), 1);
    ASSERT_EQ(screen.boxes.size(), 1u);
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(std::filesystem::exists(folder / "KVR Dumps"));
}

// --- settings and the port ---

struct SpeedCase {
    const char* stored;  // nullptr: absent
    int selected;
};

class SpeedLoadTest : public RunFixture, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedLoadTest, FormLoadSelectsTheStoredOption) {
    if (GetParam().stored) settings.set("NVA5", "Startup", "Speed", GetParam().stored);
    run->optSpeed = 1 - GetParam().selected;
    run->Form_Load();
    EXPECT_EQ(run->optSpeed.load(), GetParam().selected);
}

INSTANTIATE_TEST_SUITE_P(Marten, SpeedLoadTest,
                         ::testing::Values(SpeedCase{nullptr, 0}, SpeedCase{"0", 0}, SpeedCase{"1", 1},
                                           SpeedCase{" 1", 1}, SpeedCase{"1.4", 1}, SpeedCase{"2", 0},
                                           SpeedCase{"-1", 0}, SpeedCase{"Hi", 0}));

struct PortCase {
    const char* name;
    const char* stored;
    std::vector<std::pair<std::string, std::string>> answers;  // title, text
    int opened;  // 0: the program ends
    std::string storedAfter;
    std::vector<std::string> titles;
};

class OpenPortTest : public RunFixture, public ::testing::WithParamInterface<PortCase> {};

TEST_P(OpenPortTest, AsksUntilAPortOpens) {
    const PortCase& c = GetParam();
    MiniServer server;
    for (int n : {2, 3, 4}) port.attach(n, &server);
    if (c.stored) settings.set("NVA5", "Startup", "Port", c.stored);
    for (auto& [t, a] : c.answers) screen.answer(t, a);

    bool ended = false;
    try {
        run->OpenPort();
    } catch (const RunEnd& e) {
        ended = true;
        EXPECT_EQ(e.status, 1);
    }
    EXPECT_EQ(ended, c.opened == 0);
    if (c.opened) {
        EXPECT_TRUE(port.isOpen());
        EXPECT_EQ(port.portNumber(), c.opened);
        EXPECT_EQ(screen.events.back(), "Opened com" + std::to_string(c.opened) + " OK");
    }
    EXPECT_EQ(setting("Port"), c.storedAfter);
    std::vector<std::string> titles;
    for (auto& b : screen.boxes) titles.push_back(b.title);
    EXPECT_EQ(titles, c.titles);
}

INSTANTIATE_TEST_SUITE_P(
    Marten, OpenPortTest,
    ::testing::Values(PortCase{"stored", "3", {}, 3, "3", {}},
                      PortCase{"first_start", nullptr, {{"Serial Port", "3"}}, 3, "3", {"Serial Port"}},
                      PortCase{"half_up_to_even", nullptr, {{"Serial Port", "3.5"}}, 4, "4", {"Serial Port"}},
                      PortCase{"half_down_to_even", nullptr, {{"Serial Port", "2.5"}}, 2, "2", {"Serial Port"}},
                      PortCase{"com_prefix_is_no_number", nullptr, {{"Serial Port", "COM3"}}, 0, "<absent>",
                               {"Serial Port"}},
                      PortCase{"cancel", "0", {{"Serial Port", ""}}, 0, "0", {"Serial Port"}},
                      PortCase{"missing_then_zero", "7", {{"ERROR", "0"}}, 0, "0", {"ERROR"}},
                      PortCase{"missing_then_good", "7", {{"ERROR", "4abc"}}, 4, "4", {"ERROR"}},
                      PortCase{"two_missing", "7", {{"ERROR", "8"}, {"ERROR", "2"}}, 2, "2", {"ERROR", "ERROR"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunFixture, CannotOpenPromptCarriesThePlatformError) {
    port.failOpen(7, "Permission denied");
    storePort(7);
    screen.answer("ERROR", "0");
    EXPECT_THROW(run->OpenPort(), RunEnd);
    ASSERT_EQ(screen.boxes.size(), 1u);
    EXPECT_EQ(screen.boxes[0].text,
              "Cannot open com7\rPermission denied\rPlease enter the serial port number the KVR Probe Server is "
              "connected to.");
    EXPECT_EQ(setting("Port"), "0");
}

// --- the end of the program ---

TEST_F(RunFixture, ClosingTheWindowMidRunStoresHiAndLeavesTheServerUncleared) {
    MiniServer server;
    server.nextRecord = 0;
    server.endRecord = 50;
    server.numReadings = 50;
    port.attach(3, &server);
    storePort(3);
    run->optSpeed = 0;
    int yields = 0;
    screen.onYield = [&] {
        // The user switches to "Hi" while the run is on, then closes.
        if (++yields == 30) run->optSpeed = 1;
    };
    screen.closeAfterYields(60);

    EXPECT_EQ(run->tmr_Timer(), 1);
    EXPECT_EQ(setting("Speed"), "1");
    EXPECT_EQ(server.clears, 0);
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(run->files.isOpen());
    // What arrived before the close is on the disk (the close may fall
    // into the wait for the last answer).
    const auto rows = dumpRecNos().size();
    EXPECT_GT(rows, 0u);
    EXPECT_LE(rows, server.fetched.size());
    EXPECT_GE(rows + 1, server.fetched.size());
    EXPECT_TRUE(screen.boxes.empty());
}

}  // namespace
}  // namespace kvr::testing
