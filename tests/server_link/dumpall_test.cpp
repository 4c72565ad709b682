// The bulk download: stream reception, back-fill of what the stream lost,
// and the promise that every position is written exactly once, in ring
// order, whatever the stream lost on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "core/devtime.h"
#include "server_link/bulk_stream.h"
#include "server_link/record.h"
#include "server_link/server_link.h"
#include "testing/fakes.h"
#include "tests/server_link/tiny_server.h"

namespace kvr {
namespace {

using kvr::testing::FakeClock;
using kvr::testing::FakePort;
using kvr::testing::MemorySettings;
using kvr::testing::ScriptedScreen;
using test::Record;

constexpr int kSlots = 20, kNext = 15, kNum = 8;  // positions 15..19, 0..2

class TempFolder {
public:
    TempFolder() {
        static int n = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("kvr-bulk-" + std::to_string(::getpid()) + "-" + std::to_string(++n));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::vector<std::string> lines(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<std::string> out;
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    if (!out.empty()) out.erase(out.begin());  // header
    return out;
}

std::vector<Record> makeRing() {
    std::vector<Record> ring;
    for (int i = 0; i < kSlots; ++i) ring.push_back(test::kind1(100 + i, i, i % 2 ? 7 : 10));
    return ring;
}

struct Outcome {
    std::vector<std::string> dump, data;
    bool commsError = true;
    std::vector<int> refetched;
    ScriptedScreen screen;
    int lowCount = 0;
    Bytes startCommand;
};

// Runs DumpAll against a server prepared by `setup`.
void runDump(const std::function<void(test::TinyServer&, LinkState&)>& setup, Outcome& out) {
    FakeClock clock;
    FakePort port{clock};
    MemorySettings settings;
    Platform platform{clock, port, settings, out.screen};
    LinkState state;
    test::TinyServer server;
    server.ring = makeRing();
    server.next = kNext;
    server.numReadings = kNum;
    state.NextRecord = kNext;
    state.NumReadings = kNum;
    state.RecordSlots = kSlots;
    state.EndRecord = (kNext + kNum) % kSlots;
    setup(server, state);
    port.attach(3, &server);
    std::string err;
    ASSERT_TRUE(port.open(3, err));
    TempFolder tmp;
    RunFiles files;
    ASSERT_TRUE(files.open(tmp.path(), Program::Marten, clock.now()));
    LowBatteryList low;
    ServerLink link{platform, state};
    link.files = &files;
    link.lowList = &low;
    const auto t0 = clock.monotonicMs();
    link.DumpAll();
    EXPECT_LT(clock.monotonicMs() - t0, 60'000);
    EXPECT_TRUE(files.close());
    out.dump = lines(dumpFilePath(tmp.path(), 0));
    out.data = lines(dataFilePath(tmp.path()));
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
void expected(const std::vector<Record>& ring, std::vector<std::string>& dump, std::vector<std::string>& data,
              int count = kNum) {
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
    dump = lines(dumpFilePath(tmp.path(), 0));
    data = lines(dataFilePath(tmp.path()));
}

TEST(ServerBulk, EveryPositionWrittenOnce) {
    Record pairInside = makeRing()[19];
    pairInside[12] = 0x4F;  // an end-start pair inside the record's data
    pairInside[13] = 0x4E;
    pairInside = test::sealed(pairInside);
    Record badStored = makeRing()[1];
    badStored[20] ^= 0x10;  // stored damaged on the server: fails in both modes
    Record settingsRec = makeRing()[16];
    settingsRec[0] = 0x40;
    settingsRec = test::sealed(settingsRec);

    struct Case {
        const char* name;
        std::function<void(test::TinyServer&)> fault;
        std::vector<int> refetch;  // ring positions fetched one by one
        std::vector<std::pair<int, Record>> replace{};
    };
    const std::vector<Case> cases = {
        {"clean", [](test::TinyServer&) {}, {}},
        {"byte by byte", [](test::TinyServer& s) { s.byteByByte = true; }, {}},
        {"stream starts in the ack chunk", [](test::TinyServer& s) { s.streamInAckChunk = true; }, {}},
        {"slow stream", [](test::TinyServer& s) { s.frameGapMs = 4500; }, {}},
        {"frame sent twice", [](test::TinyServer& s) { s.twiceFrames = {3}; }, {}},
        {"settings record skipped", [](test::TinyServer&) {}, {}, {{16, settingsRec}}},
        {"cut stream", [](test::TinyServer& s) { s.cutAfter = 5; }, {0, 1, 2}},
        {"nothing streamed", [](test::TinyServer& s) { s.cutAfter = 0; }, {15, 16, 17, 18, 19, 0, 1, 2}},
        {"wrong end byte", [](test::TinyServer& s) { s.badEndFrames = {2}; }, {17}},
        {"bad record check", [](test::TinyServer& s) { s.badCheckFrames = {6}; }, {1}},
        {"first frame missing", [](test::TinyServer& s) { s.dropFrames = {0}; }, {15}},
        {"holes at both ends and amid", [](test::TinyServer& s) { s.dropFrames = {0, 3, 7}; }, {15, 18, 2}},
        {"last frame missing", [](test::TinyServer& s) { s.dropFrames = {7}; }, {2}},
        {"end-start pair in a record", [](test::TinyServer&) {}, {19}, {{19, pairInside}}},
        {"damaged on the server", [](test::TinyServer&) {}, {1}, {{1, badStored}}},
        {"several faults, in ack chunk",
         [](test::TinyServer& s) {
             s.streamInAckChunk = true;
             s.badEndFrames = {1};
             s.badCheckFrames = {4};
             s.dropFrames = {6};
         },
         {16, 19, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Record> ring = makeRing();
        for (auto& [at, r] : c.replace) ring[static_cast<std::size_t>(at)] = r;
        Outcome out;
        runDump(
            [&](test::TinyServer& s, LinkState&) {
                s.ring = ring;
                c.fault(s);
            },
            out);
        std::vector<std::string> dump, data;
        expected(ring, dump, data);
        EXPECT_FALSE(out.commsError);
        EXPECT_EQ(out.dump, dump);
        EXPECT_EQ(out.data, data);
        EXPECT_EQ(out.refetched, c.refetch);
    }
}

TEST(ServerBulk, StartCommandAndProgress) {
    Outcome out;
    runDump([](test::TinyServer&, LinkState&) {}, out);
    const std::int32_t units = toServerUnits(FakeClock{}.now());
    const Bytes start{0x5E,
                      0xFF,
                      0xFF,
                      0x09,
                      0x00,
                      0x04,
                      static_cast<std::uint8_t>(units >> 24),
                      static_cast<std::uint8_t>(units >> 16),
                      static_cast<std::uint8_t>(units >> 8),
                      static_cast<std::uint8_t>(units),
                      0x00,
                      kNext,
                      0x00};
    ASSERT_GE(out.startCommand.size(), start.size());
    EXPECT_EQ(Bytes(out.startCommand.begin(), out.startCommand.begin() + 13), start);
    EXPECT_EQ(out.screen.progress, (std::vector<int>{0, 12, 25, 37, 50, 62, 75, 87}));
    std::vector<std::string> shown;
    for (int p = 0; p < kNum; ++p) shown.push_back("Loading readings ... " + std::to_string(p) + "/8.");
    EXPECT_EQ(out.screen.events, shown);
    EXPECT_EQ(out.lowCount, 4);  // odd ring positions hold 3.1 V, each from its own probe
}

// A download that cannot finish leaves CommsError set (so the server is not
// cleared) and, on disk, exactly the rows a clean transfer writes first.
TEST(ServerBulk, FailureLeavesPrefixOfCleanRun) {
    Record badStored = makeRing()[18];
    badStored[20] ^= 0x10;  // read on its own it gives its marker line
    struct Case {
        const char* name;
        std::function<void(test::TinyServer&, LinkState&)> setup;
        int positionsWritten;
        std::vector<int> refetch;  // ring positions answered one by one
    };
    const std::vector<Case> cases = {
        {"start not acknowledged", [](test::TinyServer& s, LinkState&) { s.ignore[0x04] = 4; }, 0, {}},
        {"link dies during back-fill",
         [](test::TinyServer& s, LinkState&) {
             s.cutAfter = 5;
             s.deadAfterStream = true;
         },
         5,
         {}},
        {"ring size unknown",
         [](test::TinyServer& s, LinkState& st) {
             s.cutAfter = 5;
             st.RecordSlots = 0;
         },
         5,
         {}},
        {"first re-fetch fails, whole frames follow",
         [](test::TinyServer& s, LinkState&) {
             s.badEndFrames = {2, 5};
             s.ignore[0x13] = 4;  // every attempt of the first re-fetch unanswered
         },
         2,
         {}},
        {"second re-fetch fails",
         [](test::TinyServer& s, LinkState&) {
             s.badEndFrames = {2, 5};
             s.answerRecords = 1;
         },
         5,
         {17}},
        {"marker line from a re-fetch, then the link dies",
         [&](test::TinyServer& s, LinkState&) {
             s.ring[18] = badStored;
             s.dropFrames = {6};
             s.answerRecords = 1;
         },
         6,
         {18}},
        {"first frame missing, link dead",
         [](test::TinyServer& s, LinkState&) {
             s.dropFrames = {0};
             s.deadAfterStream = true;
         },
         0,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome out;
        std::vector<Record> ring;
        runDump(
            [&](test::TinyServer& s, LinkState& st) {
                c.setup(s, st);
                ring = s.ring;
            },
            out);
        std::vector<std::string> dump, data;
        expected(ring, dump, data, c.positionsWritten);
        EXPECT_TRUE(out.commsError);
        EXPECT_EQ(out.dump, dump);
        EXPECT_EQ(out.data, data);
        EXPECT_EQ(out.refetched, c.refetch);
    }
}

// The receiver on its own: any split of the same bytes gives the same frames.
TEST(ServerBulk, ReceiverIgnoresChunking) {
    Bytes stream{0x00, 0x4F, 0x13};  // noise before the first frame
    for (int p = 0; p < 5; ++p) {
        const Bytes f = test::bulkFrame(p, test::kind1(7, p), p == 3 ? 0x4D : 0x4F);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    auto collect = [&](std::size_t chunk) {
        BulkReceiver rx;
        std::vector<std::string> got;
        for (std::size_t i = 0; i < stream.size(); i += chunk) {
            const auto n = std::min(chunk, stream.size() - i);
            rx.feed(ByteSpan(stream.data() + i, n), [&](const BulkFrame& f) {
                got.push_back(std::to_string(f.position) + (f.whole() ? " ok" : " bad"));
                return true;
            });
        }
        return got;
    };
    const std::vector<std::string> want{"0 ok", "1 ok", "2 ok", "3 bad", "4 ok"};
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{36}, stream.size()})
        EXPECT_EQ(collect(chunk), want) << chunk;
}

}  // namespace
}  // namespace kvr
