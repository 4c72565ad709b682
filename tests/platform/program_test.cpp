// The programs' main() helper, each case in a fresh child process (a process
// holds one Qt application object, and this one already has its own).
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "core/console_screen.h"
#include "platform/qt/program.h"
#include "pty_helpers.h"

namespace kvr::test {
using namespace kvr::qt;

namespace {

int runWith(std::vector<std::string> args, const ProgramSpec& desc) {
    args.insert(args.begin(), "prog");
    static std::vector<std::string> keep;
    keep = args;
    static std::vector<char*> argv;
    argv.clear();
    for (auto& a : keep) argv.push_back(a.data());
    argv.push_back(nullptr);
    return runProgram(static_cast<int>(keep.size()), argv.data(), desc);
}

struct ProgramHelper : ::testing::Test {
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

TEST_F(ProgramHelper, OptionErrorsAndHelpEndBeforeAnyWindow) {
    ProgramSpec desc;
    desc.name = "Marten";
    desc.job = [](Platform&, const AppOptions&) { return 9; };
    EXPECT_EXIT(std::exit(runWith({"--help"}, desc)), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(std::exit(runWith({"--bogus"}, desc)), ::testing::ExitedWithCode(2), "unknown option");
    EXPECT_EXIT(std::exit(runWith({"--unattended", "--trace", "/nonexistent/dir/t.log"}, desc)),
                ::testing::ExitedWithCode(2), "cannot write the trace file");
}

TEST_F(ProgramHelper, StopSignalInWindowModeClosesAnOpenBoxAndEndsTheRun) {
    auto child = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        ProgramSpec desc;
        desc.name = "Otter";
        desc.makeWindow = [](ProgramContext&) {
            auto w = std::make_unique<TinyWindow>();
            WindowParts parts;
            parts.face = w.get();
            parts.window = std::move(w);
            return parts;
        };
        desc.job = [](Platform& p, const AppOptions& o) {
            // A window run: no port opened for the job, the default folder.
            if (o.unattended || o.folder.empty() || p.port.isOpen()) return 20;
            std::thread([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                std::raise(SIGTERM);
            }).detach();
            // Nobody answers: only the signal can end this box.
            const bool yes = p.screen.messageBox("Set the date?", "Set date", Icon::Information, Buttons::YesNo);
            try {
                p.screen.yield();
            } catch (const ProgramEnd&) {
                return yes ? 30 : 5;
            }
            return 31;
        };
        return runWith({}, desc);
    };
    EXPECT_EXIT(std::exit(child()), ::testing::ExitedWithCode(5), "");
}
}  // namespace kvr::test
