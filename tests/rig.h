// What the unit tests of the links and the programs start from: the fakes
// of testing/fakes.h, a temporary folder removed at the end, and helpers to
// read back the files and the boxes a run left.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/fakes.h"

namespace kvr::test {

namespace fs = std::filesystem;

// A temporary folder, removed at the end of the test.
struct TempDir {
    TempDir() {
        static int n = 0;
        path = fs::temp_directory_path() / ("kvr-test-" + std::to_string(::getpid()) + "-" + std::to_string(++n));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The lines of a file, each keeping its CR.
inline std::vector<std::string> lines(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// A program's run on the fakes, with its folder.
class FakeRunTest : public ::testing::Test, public FakePlatform {
protected:
    std::vector<std::string> titles() const {
        std::vector<std::string> t;
        for (const auto& b : screen.boxes) t.push_back(b.title);
        return t;
    }
    std::vector<std::string> texts(const std::string& title) const {
        std::vector<std::string> out;
        for (const auto& b : screen.boxes)
            if (b.title == title) out.push_back(b.text);
        return out;
    }
    fs::path dataFile() const { return dir / "KVR Probe Data.csv"; }

    TempDir tmp;
    const fs::path dir = tmp.path;
};

}  // namespace kvr::test
