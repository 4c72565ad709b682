// A whole status request and download against a "logger" whose answers
// are valid frames around fuzz data. Whatever the pointers and blocks say,
// the download ends, and a ring walk never reads more than the ring.
#include <cstdlib>

#include "logger_link/logger_link.h"
#include "testing/fakes.h"

namespace {

// Readings are kept in memory: the fuzzer is about the walk, not the disk.
struct KeepAll : kvr::ReadingSink {
    bool open() override { return true; }
    bool take(const kvr::ProbeReading&) override { return true; }
    bool close() override { return true; }
};

}  // namespace

using namespace kvr;

namespace {

// The stand-in's own branches are no finding: no coverage calls in it.
#define KVR_NO_COVERAGE __attribute__((no_sanitize("coverage")))

class FuzzLogger : public sim::SimDevice {
public:
    FuzzLogger(const std::uint8_t* d, std::size_t n) : data_(d), size_(n) {}
    int requests = 0;
    KVR_NO_COVERAGE void receive(ByteSpan in, sim::SimOutput& out) override {
        for (std::uint8_t b : in) {
            buf_.push_back(b);
            if (buf_.size() >= 5 && buf_.size() == static_cast<std::size_t>(buf_[4]) + 3u) {
                ++requests;
                const std::uint8_t cmd = buf_[6];
                std::vector<std::uint8_t> answer{cmd};
                std::size_t want = 9;
                if (cmd == 0) {
                    answer.insert(answer.end(), {buf_[7], buf_[8]});  // the block asked for
                    want = 133;
                } else if (cmd == 9 && take() % 2) {
                    answer.push_back(20);  // server layout
                    want = 20;
                }
                while (answer.size() < want) answer.push_back(take());
                out.send(logger::buildAnswer(answer), 1);
                buf_.clear();
            } else if (buf_.size() > 200) {
                buf_.clear();
            }
        }
    }
    nlohmann::json state() const override { return {}; }

private:
    KVR_NO_COVERAGE std::uint8_t take() { return pos_ < size_ ? data_[pos_++] : 0xFF; }
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    Bytes buf_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    test::FakeClock clock;
    test::FakePort port(clock);
    test::MemorySettings settings;
    test::QuietScreen screen;
    Platform platform{clock, port, settings, screen};
    port.record = false;
    LinkState state;
    LoggerLink link(platform, state, LoggerVariant::Otter());
    FuzzLogger dev(data, size);
    port.attach(1, &dev);
    std::string err;
    port.open(1, err);
    KeepAll sink;
    link.GetStatus();
    if (state.CommsError) return 0;
    const int before = dev.requests;
    if (link.ExtendedStatus) {
        // A ring of 64 holds every shape of the walk (a wrap, the bound, a
        // block per four records, a first block entered mid-way); larger
        // rings only repeat it for longer, at a block exchange per step.
        if (state.RecordSlots > 64) return 0;
        link.GetRadioData(sink);
        // One block per four records at most, plus the first.
        if (state.RecordSlots >= 0 && dev.requests - before > 4 * (state.RecordSlots / 4 + 2) * 12) std::abort();
    } else {
        // Eight blocks hold a probe's header, its records, a repeated header
        // and the next probe's: more only repeat them.
        if (state.NumReadings > 8) state.NumReadings = 8;
        link.GetData(sink);
    }
    return 0;
}
