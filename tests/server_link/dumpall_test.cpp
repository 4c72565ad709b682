// The bulk download: stream reception, back-fill of what the stream lost,
// and the promise that every position is written exactly once, in ring
// order, or on failure exactly the first rows of a clean transfer.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/devtime.h"
#include "server_link/bulk_stream.h"
#include "core/server_record.h"
#include "files/record_rows.h"
#include "server_link/server_link.h"
#include "testing/fakes.h"
#include "tests/core/temp_folder.h"
#include "tests/server_link/tiny_server.h"

namespace kvr::test {
namespace {

constexpr int kSlots = 20, kNext = 15, kNum = 8;  // positions 15..19, 0..2

std::vector<Record> makeRing() {
    std::vector<Record> ring;
    for (int i = 0; i < kSlots; ++i) ring.push_back(test::kind1(100 + i, i, i % 2 ? 7 : 10));
    return ring;
}

// A ring record changed in place and sealed again.
Record changed(int at, std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
    Record r = makeRing()[static_cast<std::size_t>(at)];
    for (auto [i, v] : bytes) r[i] = v;
    return test::sealed(r);
}

struct Outcome : FakePlatform {
    std::string dump, data;
    bool commsError = true;
    std::vector<int> refetched;
    int lowCount = 0;
    Bytes startCommand;
};

using Prepare = std::function<void(test::TinyServer&, LinkState&)>;

// Runs DumpAll against a server prepared by `setup`.
void runDump(const Prepare& setup, Outcome& out) {
    LinkState state;
    test::TinyServer server;
    server.ring = makeRing();
    server.next = state.NextRecord = kNext;
    server.numReadings = state.NumReadings = kNum;
    state.RecordSlots = kSlots;
    state.EndRecord = (kNext + kNum) % kSlots;
    setup(server, state);
    out.port.attach(3, &server);
    std::string err;
    ASSERT_TRUE(out.port.open(3, err));
    TempFolder tmp;
    RunFiles files;
    ASSERT_TRUE(files.open(tmp.path(), Program::Marten, out.clock.now()));
    LowBatteryList low;
    ServerLink link{out.platform, state};
    link.sink = [&](const DecodedRecord& rec) { writeRecord(rec, files, low); };
    const auto t0 = out.clock.monotonicMs();
    link.DumpAll();
    EXPECT_LT(out.clock.monotonicMs() - t0, 60'000);
    EXPECT_TRUE(files.close());
    out.dump = readFile(dumpFilePath(tmp.path(), 0));
    out.data = readFile(dataFilePath(tmp.path()));
    out.commsError = state.CommsError;
    out.refetched = server.recordRequests;
    out.lowCount = low.count();
    if (!server.requests.empty()) out.startCommand = server.requests.front();
    EXPECT_EQ(state.TxLen, 0);
}

// What a clean transfer writes for the first `count` positions, in order:
// each position decoded on its own, without any stream. A record damaged on
// the server fails the stream's check and is then read on its own, which
// gives its marker line.
void expected(const std::vector<Record>& ring, int count, Outcome& out) {
    TempFolder tmp;
    RunFiles files;
    ASSERT_TRUE(files.open(tmp.path(), Program::Marten, makeLocal(2012, 1, 1)));
    LowBatteryList low;
    for (int p = 0; p < count; ++p) {
        const Record& r = ring[static_cast<std::size_t>((kNext + p) % kSlots)];
        DecodedRecord d = decodeBulkRecord(r);
        if (d.cls == RecordClass::CrcError) d = decodeRecord(r);
        writeRecord(d, files, low);
    }
    ASSERT_TRUE(files.close());
    out.dump = readFile(dumpFilePath(tmp.path(), 0));
    out.data = readFile(dataFilePath(tmp.path()));
}

// Every position is written once, in ring order, whatever the stream lost;
// a download that cannot finish leaves CommsError set (so the server is not
// cleared) and, on disk, exactly the rows a clean transfer writes first.
TEST(ServerBulk, RowsInRingOrderOrAPrefixOfThem) {
    using S = test::TinyServer;
    struct Case {
        const char* name;
        Prepare setup;
        std::vector<int> refetch;     // ring positions answered one by one
        int written = kNum;           // positions on disk
    };
    const std::vector<Case> cases = {
        {"clean", [](S&, LinkState&) {}, {}},
        {"byte by byte", [](S& s, LinkState&) { s.byteByByte = true; }, {}},
        {"stream starts in the ack chunk", [](S& s, LinkState&) { s.streamInAckChunk = true; }, {}},
        {"slow stream", [](S& s, LinkState&) { s.frameGapMs = 4500; }, {}},
        {"frame sent twice", [](S& s, LinkState&) { s.twiceFrames = {3}; }, {}},
        {"settings record skipped", [](S& s, LinkState&) { s.ring[16] = changed(16, {{0, 0x40}}); }, {}},
        {"cut stream", [](S& s, LinkState&) { s.cutAfter = 5; }, {0, 1, 2}},
        {"nothing streamed", [](S& s, LinkState&) { s.cutAfter = 0; }, {15, 16, 17, 18, 19, 0, 1, 2}},
        {"wrong end byte", [](S& s, LinkState&) { s.badEndFrames = {2}; }, {17}},
        {"bad record check", [](S& s, LinkState&) { s.badCheckFrames = {6}; }, {1}},
        {"holes at both ends and amid", [](S& s, LinkState&) { s.dropFrames = {0, 3, 7}; }, {15, 18, 2}},
        // An end byte and a start byte inside the data must not resync the stream.
        {"end-start pair in a record", [](S& s, LinkState&) { s.ring[19] = changed(19, {{12, 0x4F}, {13, 0x4E}}); }, {19}},
        // Stored damaged: fails in both modes, the single read gives its marker line.
        {"damaged on the server", [](S& s, LinkState&) { s.ring[1][20] ^= 0x10; }, {1}},
        {"several faults, in ack chunk",
         [](S& s, LinkState&) {
             s.streamInAckChunk = true;
             s.badEndFrames = {1};
             s.badCheckFrames = {4};
             s.dropFrames = {6};
         },
         {16, 19, 1}},
        // Failures: only what came before the first failed fetch is written.
        {"start not acknowledged", [](S& s, LinkState&) { s.ignore[0x04] = 4; }, {}, 0},
        {"link dies during back-fill", [](S& s, LinkState&) { s.cutAfter = 5; s.deadAfterStream = true; }, {}, 5},
        {"ring size unknown", [](S& s, LinkState& st) { s.cutAfter = 5; st.RecordSlots = 0; }, {}, 5},
        {"first re-fetch fails, whole frames follow",
         [](S& s, LinkState&) { s.badEndFrames = {2, 5}; s.ignore[0x13] = 4; }, {}, 2},
        {"second re-fetch fails", [](S& s, LinkState&) { s.badEndFrames = {2, 5}; s.answerRecords = 1; }, {17}, 5},
        {"marker line from a re-fetch, then the link dies",
         [](S& s, LinkState&) { s.ring[18][20] ^= 0x10; s.dropFrames = {6}; s.answerRecords = 1; }, {18}, 6},
        {"first frame missing, link dead", [](S& s, LinkState&) { s.dropFrames = {0}; s.deadAfterStream = true; }, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome out, want;
        std::vector<Record> ring;
        runDump(
            [&](S& s, LinkState& st) {
                c.setup(s, st);
                ring = s.ring;
            },
            out);
        expected(ring, c.written, want);
        EXPECT_EQ(out.commsError, c.written < kNum);
        EXPECT_EQ(out.dump, want.dump);
        EXPECT_EQ(out.data, want.data);
        EXPECT_EQ(out.refetched, c.refetch);
    }
}

TEST(ServerBulk, StartCommandAndProgress) {
    Outcome out;
    runDump([](test::TinyServer&, LinkState&) {}, out);
    const auto u = static_cast<std::uint32_t>(toServerUnits(FakeClock{}.now()));
    const Bytes start{0x5E, 0xFF, 0xFF, 0x09, 0x00, 0x04, static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16),
                      static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u), 0x00, kNext, 0x00};
    ASSERT_GE(out.startCommand.size(), start.size());
    EXPECT_EQ(Bytes(out.startCommand.begin(), out.startCommand.begin() + 13), start);
    EXPECT_EQ(out.screen.progress, (std::vector<int>{0, 12, 25, 37, 50, 62, 75, 87}));
    std::vector<std::string> shown;
    for (int p = 0; p < kNum; ++p) shown.push_back("Loading readings ... " + std::to_string(p) + "/8.");
    EXPECT_EQ(out.screen.events, shown);
    EXPECT_EQ(out.lowCount, 4);  // odd ring positions hold 3.1 V, each from its own probe
}

}  // namespace
}  // namespace kvr::test
