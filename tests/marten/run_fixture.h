// What every Marten run test needs: fake platform, a temporary program
// folder, and helpers to read the files the run wrote.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "server_dump/marten_run.h"
#include "testing/fakes.h"

namespace kvr::testing {

class RunFixture : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("marten_test_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        run = std::make_unique<MartenRun>(platform, folder);
    }
    void TearDown() override {
        run.reset();
        std::filesystem::remove_all(folder);
    }
    void storePort(int n) { settings.set("NVA5", "Startup", "Port", std::to_string(n)); }
    std::string setting(const std::string& key) { return settings.get("NVA5", "Startup", key, "<absent>"); }

    static std::vector<std::string> lines(const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::vector<std::string> out;
        std::string l;
        while (std::getline(in, l)) out.push_back(l);
        return out;
    }
    std::filesystem::path dump0() const { return folder / "KVR Dumps" / "Dump00.csv"; }
    std::filesystem::path dataFile() const { return folder / "KVR Probe Data.csv"; }
    // Record numbers of the reading rows of Dump00.csv, in file order.
    std::vector<int> dumpRecNos() const {
        std::vector<int> out;
        auto ls = lines(dump0());
        for (std::size_t i = 1; i < ls.size(); ++i) {
            auto a = ls[i].find(',');
            if (a == std::string::npos) continue;
            out.push_back(std::stoi(ls[i].substr(a + 1)));
        }
        return out;
    }
    std::vector<std::string> boxTitles() const {
        std::vector<std::string> t;
        for (auto& b : screen.boxes) t.push_back(b.title);
        return t;
    }
    const BoxRecord* box(const std::string& title) const {
        for (auto& b : screen.boxes)
            if (b.title == title) return &b;
        return nullptr;
    }

    FakeClock clock;
    FakePort port{clock};
    MemorySettings settings;
    ScriptedScreen screen;
    Platform platform{clock, port, settings, screen};
    std::filesystem::path folder;
    std::unique_ptr<MartenRun> run;
};

}  // namespace kvr::testing
