#include <gtest/gtest.h>

#include <sstream>

#include "core/tracing_port.h"
#include "testing/fakes.h"

using namespace kvr;

namespace {

// Answers every write with the bytes reversed, 5 ms later.
struct Reverser : sim::SimDevice {
    void receive(ByteSpan data, sim::SimOutput& out) override { out.send(Bytes(data.rbegin(), data.rend()), 5); }
    nlohmann::json state() const override { return {}; }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

struct Traced {
    kvr::testing::FakeClock clock;
    kvr::testing::FakePort fake{clock};
    Reverser device;
    std::ostringstream out;
    TracingPort port{fake, clock, out};
    Traced() {
        fake.latencyMs = 0;
        fake.attach(3, &device);
    }
    Bytes readFor(std::int64_t ms) {
        Bytes got;
        const std::int64_t deadline = clock.monotonicMs() + ms;
        while (clock.monotonicMs() < deadline)
            if (port.waitForBytes(deadline)) {
                Bytes b = port.readAll();
                got.insert(got.end(), b.begin(), b.end());
            }
        return got;
    }
};

}  // namespace

TEST(TraceLine, HexIsUpperCaseTwoDigitsSpaceSeparated) {
    struct Case {
        std::int64_t ms;
        const char* dir;
        Bytes data;
        const char* expect;
    };
    const Case cases[] = {
        {0, "TX", {}, "0 TX"},
        {17, "TX", {0x00}, "17 TX 00"},
        {1000123, "RX", {0x0A, 0xFF, 0x7E, 0x10}, "1000123 RX 0A FF 7E 10"},
        {-5, "RX", {0xAB, 0x01}, "-5 RX AB 01"},
    };
    for (const auto& c : cases) EXPECT_EQ(traceLine(c.ms, c.dir, c.data), c.expect);
}

TEST(TracingPort, RecordsEveryByteOnceInOrderAndPassesThemThrough) {
    Traced t;
    std::string err;
    ASSERT_TRUE(t.port.open(3, err));
    const std::int64_t t0 = t.clock.monotonicMs();
    ASSERT_TRUE(t.port.write(Bytes{0x02, 0x10, 0xFF}));
    EXPECT_EQ(t.readFor(50), (Bytes{0xFF, 0x10, 0x02})) << "bytes reach the caller unchanged";
    t.clock.advance(100);
    ASSERT_TRUE(t.port.write(Bytes{0x00}));
    EXPECT_EQ(t.readFor(50), Bytes{0x00});
    ASSERT_TRUE(t.port.setSettings("56000,n,8,1"));
    t.port.setDtr(true);
    t.port.close();

    EXPECT_EQ(t.fake.written(), (Bytes{0x02, 0x10, 0xFF, 0x00})) << "writes reach the inner port";
    const auto got = lines(t.out.str());
    const std::vector<std::string> expect = {
        "# " + std::to_string(t0) + " open 3 ok",
        std::to_string(t0) + " TX 02 10 FF",
        std::to_string(t0 + 5) + " RX FF 10 02",
        std::to_string(t0 + 150) + " TX 00",
        std::to_string(t0 + 155) + " RX 00",
        "# " + std::to_string(t0 + 200) + " settings 56000,n,8,1 ok",
        "# " + std::to_string(t0 + 200) + " dtr 1 failed",
        "# " + std::to_string(t0 + 200) + " close 3",
    };
    EXPECT_EQ(got, expect) << t.out.str();
}

TEST(TracingPort, BytesDroppedByClearInputStillAppear) {
    Traced t;
    std::string err;
    ASSERT_TRUE(t.port.open(3, err));
    t.fake.inject(Bytes{0x41, 0x42});
    t.port.waitForBytes(t.clock.monotonicMs() + 10);
    t.port.clearInput();
    EXPECT_EQ(t.port.bytesWaiting(), 0u);
    const auto got = lines(t.out.str());
    ASSERT_EQ(got.size(), 3u) << t.out.str();
    EXPECT_NE(got[1].find(" RX 41 42"), std::string::npos);
    EXPECT_NE(got[2].find("clear input 2"), std::string::npos);
}

TEST(TracingPort, FailedOpenNotesTheReasonAndEventsReachTheCaller) {
    Traced t;
    t.fake.failOpen(4, "Permission denied");
    std::string err;
    EXPECT_FALSE(t.port.open(4, err));
    EXPECT_EQ(err, "Permission denied");
    EXPECT_NE(t.out.str().find("open 4 failed: Permission denied"), std::string::npos);

    std::vector<PortEvent> events;
    t.port.setEventHandler([&](PortEvent e) { events.push_back(e); });
    ASSERT_TRUE(t.port.open(3, err));
    t.port.write(Bytes{1});
    t.readFor(50);
    EXPECT_NE(std::find(events.begin(), events.end(), PortEvent::Receive), events.end());
}
