// The kvr-sim program as the end-to-end tests use it: the terminal's path
// on the first line, a link to it, the state file on SIGUSR1 and at exit,
// a clean end on SIGTERM, and a clear refusal of bad options.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "core/system_clock.h"
#include "server_link/server_link.h"
#include "testing/fakes.h"
#include "testing/pty_port.h"
#include "tests/server_link/tiny_server.h"

namespace kvr {
namespace {

namespace fs = std::filesystem;

std::string simBinary() {
    const char* dir = std::getenv("KVR_BUILD_DIR");
    fs::path p = fs::path(dir ? dir : "") / "sim" / "kvr-sim";
    return dir && fs::exists(p) ? p.string() : std::string();
}

// A kvr-sim child with its stdout on a pipe; killed and reaped on scope exit.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    // The first line of stdout; empty on end of file or after timeoutMs.
    std::string firstLine(int timeoutMs) {
        std::string line;
        char c;
        for (pollfd p{out_, POLLIN, 0}; poll(&p, 1, timeoutMs) > 0 && ::read(out_, &c, 1) == 1;) {
            if (c == '\n') return line;
            line += c;
        }
        return {};
    }
    void signal(int sig) { kill(pid_, sig); }
    // Exit status, or -1 when the process did not end within timeoutMs.
    int wait(int timeoutMs) {
        for (int waited = 0; waited <= timeoutMs; waited += 20) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
};

nlohmann::json stateWhenPresent(const fs::path& p, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        std::ifstream in(p);
        auto j = nlohmann::json::parse(in, nullptr, false);
        if (in && !j.is_discarded()) return j;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

TEST(PtyKvrSim, ServesALinkAndReportsItsState) {
    const std::string bin = simBinary();
    if (bin.empty()) GTEST_SKIP() << "kvr-sim not built";
    test::TempFolder tmp;
    const fs::path state = tmp.path() / "state.json", link = tmp.path() / "ttyKVR";
    SimProcess sim({bin, "server", "--slots", "20", "--next", "15", "--end", "5", "--now", "2013-05-06 07:08",
                    "--state", state.string(), "--link", link.string()});
    const std::string path = sim.firstLine(5000);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(fs::read_symlink(link).string(), path);

    testing::PtySerialPort port;
    port.setPath(3, link.string());
    std::string err;
    ASSERT_TRUE(port.open(3, err)) << err;
    SystemClock clock;
    testing::MemorySettings settings;
    testing::ScriptedScreen screen;
    Platform platform{clock, port, settings, screen};
    LinkState st;
    ServerLink server{platform, st};
    server.v5GetStatus();
    ASSERT_FALSE(st.CommsError);
    EXPECT_EQ(st.NumReadings, 10);

    sim.signal(SIGUSR1);
    auto snapshot = stateWhenPresent(state, 3000);
    EXPECT_EQ(snapshot["requests"]["status"], 1);
    EXPECT_EQ(snapshot["cleared"], false);
    fs::remove(state);

    for (std::uint8_t b : {0x0A, 0x00, 0x00, 0x16, 0x80}) server.v5Add(b);  // 2000-01-02 00:00
    server.v5Transmit();
    server.v5Add(0x09);
    server.v5Transmit();
    EXPECT_FALSE(st.CommsError);
    port.close();

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(3000), 0);
    auto final = stateWhenPresent(state, 1000);
    EXPECT_EQ(final["clearCount"], 1);
    EXPECT_EQ(final["clock"]["setText"], "2000-01-02 00:00:00");
    EXPECT_EQ(final["status"]["NextRecord"], 5);
    EXPECT_EQ(final["status"]["NumReadings"], 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "link left behind";
}

TEST(PtyKvrSim, StopDuringStartUpStillWritesTheStateFile) {
    const std::string bin = simBinary();
    if (bin.empty()) GTEST_SKIP() << "kvr-sim not built";
    test::TempFolder tmp;
    const fs::path state = tmp.path() / "early.json";
    // The largest ring takes a while to fill; the stop comes before the terminal's path.
    SimProcess sim({bin, "server", "--slots", "65535", "--state", state.string()});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(20000), 0);
    EXPECT_EQ(stateWhenPresent(state, 1000)["status"]["RecordSlots"], 65535);
}

TEST(PtyKvrSim, BadOptionsAreRefusedBeforeAnyTerminalIsMade) {
    const std::string bin = simBinary();
    if (bin.empty()) GTEST_SKIP() << "kvr-sim not built";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {bin, "server", "--slots", "0"}, {bin, "server", "--frobnicate"}, {bin, "no-such-kind"}, {bin}}) {
        SimProcess sim(args);
        EXPECT_EQ(sim.firstLine(3000), "") << args.back();
        EXPECT_EQ(sim.wait(3000), 2) << args.back();
    }
}

}  // namespace
}  // namespace kvr
