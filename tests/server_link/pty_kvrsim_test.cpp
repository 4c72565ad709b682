// The kvr-sim program's start and stop where the end-to-end tests (which
// run it for every case) do not go: a stop during start-up still leaves the
// state file, and bad options are refused before any terminal is made.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "tests/server_link/tiny_server.h"

namespace kvr {
namespace {

namespace fs = std::filesystem;

std::string simBinary() {
    const char* dir = std::getenv("KVR_BUILD_DIR");
    fs::path p = fs::path(dir ? dir : "") / "sim" / "kvr-sim";
    return dir && fs::exists(p) ? p.string() : std::string();
}

// Runs a shell command line; its exit status, or -1 when it did not exit.
int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PtyKvrSim, StopDuringStartUpStillWritesTheStateFile) {
    const std::string bin = simBinary();
    if (bin.empty()) GTEST_SKIP() << "kvr-sim not built";
    test::TempFolder tmp;
    const fs::path state = tmp.path() / "early.json", out = tmp.path() / "out.txt";
    // The largest ring takes a while to fill; SIGTERM comes before the
    // terminal's path (and SIGKILL 20 s later, should it hang).
    EXPECT_EQ(run("timeout --preserve-status -k 20 0.2 " + bin + " server --slots 65535 --state " + state.string() +
                  " >" + out.string() + " 2>/dev/null"),
              0);
    std::ifstream in(state);
    EXPECT_EQ(nlohmann::json::parse(in, nullptr, false)["status"]["RecordSlots"], 65535);
}

TEST(PtyKvrSim, BadOptionsAreRefusedBeforeAnyTerminalIsMade) {
    const std::string bin = simBinary();
    if (bin.empty()) GTEST_SKIP() << "kvr-sim not built";
    test::TempFolder tmp;
    const fs::path out = tmp.path() / "out.txt";
    for (const char* args : {" server --slots 0", " server --frobnicate", " no-such-kind", ""}) {
        EXPECT_EQ(run("timeout -k 5 10 " + bin + args + " >" + out.string() + " 2>/dev/null"), 2) << args;
        EXPECT_EQ(test::slurp(out), "") << args;
    }
}

}  // namespace
}  // namespace kvr
