// What Otter's tests add to the common rig: helpers to write "Otter.cfg",
// bound a run in fake time and look at the simulated logger, and a modem
// whose answers the test scripts line by line.
#pragma once

#include <map>
#include <memory>
#include <optional>

#include "files/probe_files.h"
#include "logger_dump/otter_scan.h"
#include "sim/devices/logger.h"
#include "tests/rig.h"

namespace kvr::test {

using Type = sim::LoggerOptions::Type;

inline const char* const kNoComms = "ERROR, Data download not completed - No comms.";

// Answers each command line (text before CR LF, or a lone "+++") with the
// next of the texts the test gave for it (the last one repeats); unknown
// commands get nothing. Answers may be ones no real modem would give.
class ScriptedModem : public sim::SimDevice {
public:
    std::map<std::string, std::vector<std::string>> replies;
    std::vector<std::string> lines;

    void receive(ByteSpan data, sim::SimOutput& out) override {
        std::string chunk(data.begin(), data.end());
        if (chunk == "+++") return reply(chunk, out);
        buf_ += chunk;
        for (auto p = buf_.find("\r\n"); p != std::string::npos; p = buf_.find("\r\n")) {
            const std::string line = buf_.substr(0, p);
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
        const std::string& text = it->second[std::min(n++, it->second.size() - 1)];
        if (!text.empty()) out.send(Bytes(text.begin(), text.end()), 20);
    }
    std::string buf_;
    std::map<std::string, std::size_t> used_;
};

class OtterTest : public FakeRunTest {
protected:
    void writeCfg(const std::vector<std::string>& lines) {
        std::ofstream out(dir / "Otter.cfg", std::ios::binary | std::ios::trunc);
        for (const auto& l : lines) out << l << "\r\n";
    }
    // A logger on port 1, an optional modem port.
    void cfg(int scanRate = 0, int secondPort = 0, const std::string& baud = "9600") {
        writeCfg({"Coms port = 1", "Baud rate = " + baud, "Scan rate = " + std::to_string(scanRate),
                  "Dump folder = " + dir.string(), "2nd port = " + std::to_string(secondPort)});
    }
    // Ends a run after limitMs of fake time (a resident Otter never ends itself).
    void limitRun(std::int64_t limitMs) {
        const std::int64_t end = clock.monotonicMs() + limitMs;
        screen.onYield = [this, end] {
            if (clock.monotonicMs() > end) throw ProgramEnd{};
        };
    }
    // A simulated logger whose readings are dated before the fake clock's now;
    // silentAfter: answers given before it goes silent.
    std::unique_ptr<sim::Logger> logger(Type type, int readings = 12, std::optional<int> silentAfter = {}) {
        sim::LoggerOptions o;
        o.type = type;
        o.readings = readings;
        o.now = clock.now() - std::chrono::hours{24};
        o.replyDelayMs = 2;
        o.faults.silentAfter = silentAfter;
        return std::make_unique<sim::Logger>(o);
    }
    // The running file a complete download of these loggers leaves.
    static std::string expected(std::initializer_list<const sim::Logger*> loggers) {
        std::string s = std::string(kDataHeader) + "\r\n";
        for (const auto* l : loggers)
            for (const auto& r : l->expectedRows()) s += r;
        return s;
    }
    static std::ptrdiff_t commandCount(const sim::Logger& l, int code) {
        const auto commands = l.state()["commands"];
        return std::count(commands.begin(), commands.end(), code);
    }
    static std::size_t clears(const sim::Logger& l) { return l.state()["clears"].size(); }
};

}  // namespace kvr::test
