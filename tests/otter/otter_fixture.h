// Shared set-up of Otter's unit tests: a temporary program folder, the fakes
// and helpers to write "Otter.cfg" and to bound a run in fake time.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "files/probe_files.h"
#include "logger_dump/otter_app.h"
#include "testing/fakes.h"
#include "sim/devices/logger.h"
#include "tests/otter/test_devices.h"

namespace kvr::otter_test {

namespace fs = std::filesystem;

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class OtterTest : public ::testing::Test {
protected:
    OtterTest() {
        std::random_device rd;
        dir = fs::temp_directory_path() / ("otter-test-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(dir);
    }
    ~OtterTest() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void writeCfg(const std::vector<std::string>& lines) {
        std::ofstream out(dir / "Otter.cfg", std::ios::binary | std::ios::trunc);
        for (const auto& l : lines) out << l << "\r\n";
    }
    // A configuration for a cable logger on port 1 and optional modem port.
    void cfg(int scanRate = 0, int secondPort = 0, const std::string& baud = "9600",
             const std::string& extra1 = "", const std::string& extra2 = "") {
        std::vector<std::string> lines{"Coms port = 1", "Baud rate = " + baud, "Scan rate = " + std::to_string(scanRate),
                                       "Dump folder = " + dir.string(), "2nd port = " + std::to_string(secondPort)};
        if (!extra1.empty()) lines.push_back(extra1);
        if (!extra2.empty()) lines.push_back(extra2);
        writeCfg(lines);
    }
    // Ends any run after limitMs of fake time (a resident Otter never ends itself).
    void limitRun(std::int64_t limitMs) {
        const std::int64_t end = clock.monotonicMs() + limitMs;
        screen.onYield = [this, end] {
            if (clock.monotonicMs() > end) throw ProgramEnd{};
        };
    }
    std::vector<testing::BoxRecord> boxesTitled(const std::string& title) const {
        std::vector<testing::BoxRecord> out;
        for (const auto& b : screen.boxes)
            if (b.title == title) out.push_back(b);
        return out;
    }
    bool eventShown(const std::string& text) const {
        return std::find(screen.events.begin(), screen.events.end(), text) != screen.events.end();
    }

    // A simulated logger whose readings are dated before the fake clock's now.
    std::unique_ptr<sim::Logger> logger(sim::LoggerOptions::Type type, int readings = 12,
                                        std::optional<int> silentAfter = std::nullopt) {
        sim::LoggerOptions o;
        o.type = type;
        o.readings = readings;
        o.now = clock.now() - std::chrono::hours{24};
        o.replyDelayMs = 2;
        o.faults.silentAfter = silentAfter;
        return std::make_unique<sim::Logger>(o);
    }
    static std::string expected(const sim::Logger& l) {
        std::string s;
        for (const auto& r : l.expectedRows()) s += r;
        return s;
    }
    static int commandCount(const sim::Logger& l, int code) {
        int n = 0;
        const auto st = l.state();
        for (const auto& c : st["commands"]) n += c.get<int>() == code;
        return n;
    }
    static std::size_t clears(const sim::Logger& l) { return l.state()["clears"].size(); }
    static bool clockSet(const sim::Logger& l) {
        auto st = l.state();
        return !st["dateSet"].is_null() || !st["clockSetTo"].is_null();
    }
    fs::path dataFile() const { return dir / kDataFileName; }

    fs::path dir;
    testing::FakeClock clock;
    testing::FakePort port{clock};
    testing::MemorySettings settings;
    testing::ScriptedScreen screen;
    Platform platform{clock, port, settings, screen};
};

}  // namespace kvr::otter_test
