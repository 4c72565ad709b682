#include <gtest/gtest.h>

#include <cstdint>

#include "testing/fakes.h"

namespace kvr {
namespace {

// Answers every write with the same bytes, after a set delay.
class EchoDevice : public sim::SimDevice {
public:
    explicit EchoDevice(std::int64_t delayMs) : delayMs_(delayMs) {}
    void receive(ByteSpan data, sim::SimOutput& out) override {
        ++requests;
        out.send(Bytes(data.begin(), data.end()), delayMs_);
    }
    nlohmann::json state() const override { return {{"requests", requests}}; }
    int requests = 0;

private:
    std::int64_t delayMs_;
};

// A minimal exchange as the links do it: write, then wait on the port until
// the expected count arrived or the deadline passed.
Bytes exchange(testing::FakeClock& clock, SerialPort& port, const Bytes& request, std::size_t expect,
               std::int64_t timeoutMs) {
    port.write(request);
    Bytes got;
    std::int64_t deadline = clock.monotonicMs() + timeoutMs;
    while (got.size() < expect && clock.monotonicMs() < deadline) {
        if (!port.waitForBytes(deadline)) continue;
        Bytes chunk = port.readAll();
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    return got;
}

TEST(Fakes, ExchangeRunsOnTheFakeClock) {
    struct Case {
        std::int64_t deviceDelay;
        std::int64_t timeout;
        bool answered;
        std::int64_t elapsed;  // fake milliseconds the exchange took
    } cases[] = {
        {10, 1000, true, 11},      // 1 ms port latency + 10 ms device delay
        {5000, 1000, false, 1000}, // the deadline ends the wait, not the answer
        {0, 100, true, 1},
    };
    for (const auto& c : cases) {
        testing::FakeClock clock;
        testing::FakePort port(clock);
        EchoDevice echo(c.deviceDelay);
        port.attach(3, &echo);
        std::string error;
        ASSERT_TRUE(port.open(3, error)) << error;
        const Bytes request{0x02, 0x00, 0xFF, 0x10};
        std::int64_t start = clock.monotonicMs();
        Bytes got = exchange(clock, port, request, request.size(), c.timeout);
        EXPECT_EQ(got == request, c.answered) << c.deviceDelay;
        EXPECT_EQ(clock.monotonicMs() - start, c.elapsed) << c.deviceDelay;
        EXPECT_EQ(echo.requests, 1);
        EXPECT_EQ(port.written(), request);
        port.close();
    }
}

}  // namespace
}  // namespace kvr
