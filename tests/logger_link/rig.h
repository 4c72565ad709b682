// Shared test rig: a logger link on a fake port and fake clock, with either
// the simulated logger or a scripted device behind port 1.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "logger_link/logger_link.h"
#include "sim/devices/logger.h"
#include "testing/fakes.h"

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

// The simulated logger's options, dated 2012-03-04 noon unless told.
inline sim::LoggerOptions loggerOptions(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--now", "2012-03-04 12:00:00"});
    return sim::parseLoggerOptions(args);
}

struct Rig : test::FakePlatform {
    explicit Rig(LoggerVariant v = LoggerVariant::Otter()) : link(platform, state, v) {}
    void attach(sim::SimDevice* d) {
        port.attach(1, d);
        std::string err;
        EXPECT_TRUE(port.open(1, err)) << err;
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

    LinkState state;
    LoggerLink link;

private:
    std::size_t seen_ = 0;
};

// A temporary folder removed at the end of the test.
struct TempDir {
    TempDir() {
        static int n = 0;
        path = std::filesystem::temp_directory_path() /
               ("kvr-logger-test-" + std::to_string(::getpid()) + "-" + std::to_string(++n));
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
};

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace kvr::test
