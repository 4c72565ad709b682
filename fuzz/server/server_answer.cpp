// Arbitrary answers, in arbitrary chunks and delays, to a status request:
// the exchange must end, leave no command pending, and accept only an
// answer that really is a checked answer to the request.
#include <cstdint>
#include <cstdlib>

#include "server_link/server_link.h"
#include "sim/devices/readings.h"
#include "testing/fakes.h"

namespace {

using namespace kvr;

// Per request: [count][delay, length, bytes...]*count taken from the input.
class FuzzDevice : public sim::SimDevice {
public:
    FuzzDevice(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
    void receive(ByteSpan data, sim::SimOutput& out) override {
        (void)data;  // the whole request arrives in one write
        if (i_ >= n_) return;
        int chunks = d_[i_++] % 8;
        while (chunks-- > 0 && i_ + 2 <= n_) {
            const std::int64_t delay = d_[i_++] * 4;
            std::size_t len = d_[i_++];
            len = std::min(len, n_ - i_);
            out.send(Bytes(d_ + i_, d_ + i_ + len), delay);
            i_ += len;
        }
    }
    nlohmann::json state() const override { return {}; }

private:
    const std::uint8_t* d_;
    std::size_t n_;
    std::size_t i_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kvr::test::FakeClock clock;
    kvr::test::FakePort port{clock};
    kvr::test::MemorySettings settings;
    kvr::test::QuietScreen screen;
    Platform platform{clock, port, settings, screen};
    LinkState state;
    FuzzDevice dev(data, size);
    port.attach(1, &dev);
    std::string err;
    port.open(1, err);
    ServerLink link{platform, state};
    link.v5Add(0x10);
    link.v5Add(0x00);
    link.v5Transmit();
    if (state.TxLen != 0) std::abort();
    if (port.writes.size() > 4) std::abort();
    if (state.RxLen < 0 || state.RxLen > 1000) std::abort();
    if (!state.CommsError) {
        // Accepted: must be a checked answer to command 0x10.
        const int expected = state.RxBuf[4] + 6;
        if (state.RxLen < expected || state.RxBuf[5] != 0x01 || state.RxBuf[6] != 0x10) std::abort();
        Bytes frame;
        for (int i = 2; i <= expected; ++i) frame.push_back(static_cast<std::uint8_t>(state.RxBuf[static_cast<std::size_t>(i)]));
        if (sim::crc16(frame) != 0) std::abort();
    }
    return 0;
}
