// Shared test rig: a logger link on a fake port and fake clock, with either
// the simulated logger or a scripted device behind port 1.
#pragma once

#include <deque>

#include "logger_link/logger_link.h"
#include "sim/devices/logger.h"
#include "tests/rig.h"

namespace kvr::test {

// Answers each complete request (frame plus its three trailing zeros) with
// the next scripted reply; an empty reply is silence. When the script runs
// out the last reply repeats.
class ScriptDevice : public sim::SimDevice {
public:
    std::deque<Bytes> replies;
    std::vector<Bytes> requests;
    void receive(ByteSpan data, sim::SimOutput& out) override {
        buf_.insert(buf_.end(), data.begin(), data.end());
        while (buf_.size() >= 5 && buf_.size() >= static_cast<std::size_t>(buf_[4]) + 3) {
            const auto n = static_cast<std::ptrdiff_t>(buf_[4]) + 3;
            requests.emplace_back(buf_.begin(), buf_.begin() + n);
            buf_.erase(buf_.begin(), buf_.begin() + n);
            Bytes r;
            if (!replies.empty()) {
                r = replies.front();
                if (replies.size() > 1) replies.pop_front();
            }
            if (!r.empty()) out.send(r, 5);
        }
    }
    nlohmann::json state() const override { return {}; }

private:
    Bytes buf_;
};

inline Bytes answer(std::vector<std::uint8_t> data) { return logger::buildAnswer(data); }
inline Bytes corrupt(Bytes a) {
    a[a.size() - 2] ^= 0x01;
    return a;
}

// The simulated logger's options, dated 2012-03-04 noon and seeded unless told.
inline sim::LoggerOptions loggerOptions(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--now", "2012-03-04 12:00:00", "--seed", "5"});
    return sim::parseLoggerOptions(args);
}

struct Rig : FakePlatform {
    // A link to this device on port 1, open; without one the port stays closed.
    explicit Rig(sim::SimDevice* d = nullptr, LoggerVariant v = LoggerVariant::Otter()) : link(platform, state, v) {
        if (!d) return;
        port.attach(1, d);
        std::string err;
        EXPECT_TRUE(port.open(1, err)) << err;
    }
    // A link to the scripted device, giving these replies.
    explicit Rig(std::vector<Bytes> replies, LoggerVariant v = LoggerVariant::Otter()) : Rig(&script, v) {
        script.replies.assign(replies.begin(), replies.end());
    }
    // One request of these data bytes, expecting an answer of the usual 14.
    void transmit(std::vector<double> data, bool noRetries = false, float timeout = 0) {
        for (double b : data) link.TxAdd(b);
        std::int16_t len = 14;
        link.Transmit(len, noRetries, timeout);
    }
    // Requests written since the last call (the link writes one byte per
    // write), split at the start marker of each.
    std::vector<Bytes> frames() {
        Bytes all;
        for (std::size_t i = seen_; i < port.writes.size(); ++i) all.insert(all.end(), port.writes[i].begin(), port.writes[i].end());
        seen_ = port.writes.size();
        std::vector<Bytes> out;
        for (std::size_t i = 0; i + 5 <= all.size() && all[i] == 0x5E; i += static_cast<std::size_t>(all[i + 4]) + 3)
            out.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(i),
                             all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), i + all[i + 4] + 3)));
        return out;
    }
    // Data bytes (command and arguments) of a request frame.
    static std::vector<int> dataOf(const Bytes& f) { return std::vector<int>(f.begin() + 6, f.end() - 6); }
    std::vector<int> commandsSent() {
        std::vector<int> c;
        for (auto& f : frames()) c.push_back(f[6]);
        return c;
    }

    ScriptDevice script;
    LinkState state;
    LoggerLink link;

private:
    std::size_t seen_ = 0;
};

}  // namespace kvr::test
