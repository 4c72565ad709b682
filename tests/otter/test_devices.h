// A scripted modem for Otter's unit tests: its answers are chosen by the
// test line by line, including ones no real modem would give.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/devices/sim_device.h"

namespace kvr::otter_test {

// Answers each command line (text before CR LF, or a lone "+++") with the
// text the test put in `replies` for it; unknown commands get nothing.
class ScriptedModem : public sim::SimDevice {
public:
    std::map<std::string, std::vector<std::string>> replies;  // used in order, last one repeats
    std::vector<std::string> lines;
    std::int64_t delayMs = 20;

    void receive(ByteSpan data, sim::SimOutput& out) override {
        std::string chunk(data.begin(), data.end());
        if (chunk == "+++") {
            reply("+++", out);
            return;
        }
        buf_ += chunk;
        for (auto p = buf_.find("\r\n"); p != std::string::npos; p = buf_.find("\r\n")) {
            std::string line = buf_.substr(0, p);
            buf_.erase(0, p + 2);
            reply(line, out);
        }
    }
    nlohmann::json state() const override { return {{"lines", lines}}; }

private:
    void reply(const std::string& line, sim::SimOutput& out) {
        lines.push_back(line);
        auto it = replies.find(line);
        if (it == replies.end() || it->second.empty()) return;
        std::size_t& n = used_[line];
        const std::string& text = it->second[std::min(n, it->second.size() - 1)];
        ++n;
        if (!text.empty()) out.send(Bytes(text.begin(), text.end()), delayMs);
    }
    std::string buf_;
    std::map<std::string, std::size_t> used_;
};

}  // namespace kvr::otter_test
