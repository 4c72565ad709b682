// The programs' main() helper, each case in a fresh child process (a process
// holds one Qt application object, and this one already has its own).
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include <QLabel>

#include "core/console_screen.h"
#include "platform/qt/program.h"
#include "pty_helpers.h"

using namespace kvr;
using namespace kvr::qt;
using namespace kvr::testplatform;

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

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class TinyWindow : public QLabel, public WindowFace {
public:
    void setStatus(const QString& t) override { setText(t); }
    void setLed(int, char) override {}
    void setProgress(int) override {}
    void closeEvent(QCloseEvent* e) override {
        requestStop();
        QLabel::closeEvent(e);
    }
};

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

TEST_F(ProgramHelper, UnattendedRunGetsTheRealPortTracedAndItsStatusIsTheExitStatus) {
    // Everything below runs in the child: its own pty, settings and trace.
    auto child = [] {
        TempConfigHome home;
        Pty pty;
        home.write("kvr-probe/KVR.conf", "[Ports]\nCOM3=" + pty.slavePath + "\n");
        const std::string trace = (home.dir / "trace.log").string();
        ProgramSpec desc;
        desc.name = "Otter";
        desc.job = [&](Platform& p, const AppOptions& o) {
            if (!o.unattended || o.folder != "/srv/otter") return 10;
            std::string err;
            if (!p.port.open(3, err)) return 11;
            p.screen.showEvent("Opened com3 OK");
            if (!p.port.write(Bytes{0x41, 0x00, 0xFF})) return 12;
            if (pty.receive(3, 2000) != Bytes{0x41, 0x00, 0xFF}) return 13;
            pty.send({0x0D, 0x0A});
            Bytes got;
            const auto deadline = p.clock.monotonicMs() + 2000;
            while (got.size() < 2 && p.clock.monotonicMs() < deadline) {
                p.screen.yield();
                if (p.port.waitForBytes(deadline)) {
                    Bytes b = p.port.readAll();
                    got.insert(got.end(), b.begin(), b.end());
                }
            }
            if (got != Bytes{0x0D, 0x0A}) return 14;
            if (p.screen.inputBox("Port?", "Serial Port", "1") != "4") return 15;
            p.port.close();
            const std::string t = slurp(trace);
            if (t.find(" open 3 ok\n") == std::string::npos) return 16;
            if (t.find(" TX 41 00 FF\n") == std::string::npos) return 17;
            if (t.find(" RX 0D 0A\n") == std::string::npos) return 18;
            p.settings.set("NVA5", "Startup", "Port", "3");
            if (slurp((home.dir / "kvr-probe/NVA5.conf").string()).find("Port=3") == std::string::npos) return 19;
            return 6;
        };
        return runWith({"--unattended", "--folder", "/srv/otter", "--trace", trace, "--answer", "Serial Port=4"},
                       desc);
    };
    EXPECT_EXIT(std::exit(child()), ::testing::ExitedWithCode(6), "Opened com3 OK");
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
