// Pseudo-terminal pairs and small helpers for the platform tests.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <QApplication>
#include <QLabel>

#include "platform/qt/gui_runner.h"
#include "tests/core/temp_folder.h"

namespace kvr::test {

// One QApplication for the whole test program (offscreen), made on first use.
inline void ensureApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_platform";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);
}

// A window that shows its status text and, closed, asks the job to stop.
class TinyWindow : public QLabel, public qt::WindowFace {
public:
    void setStatus(const QString& t) override { setText(t); }
    void setLed(int, char) override {}
    void setProgress(int) override {}
    void closeEvent(QCloseEvent* e) override {
        qt::requestStop();
        QLabel::closeEvent(e);
    }
};

struct Pty {
    int master = -1;
    int slave = -1;  // held open so the line stays up while the port under test reopens it
    std::string slavePath;
    Pty() {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) slavePath = name;
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() {
        closeMaster();
        if (slave >= 0) ::close(slave);
    }
    void closeMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    bool ok() const { return master >= 0 && !slavePath.empty(); }
    void send(const std::vector<std::uint8_t>& b) const {
        std::size_t off = 0;
        while (off < b.size()) {
            ssize_t n = ::write(master, b.data() + off, b.size() - off);
            if (n <= 0) return;
            off += static_cast<std::size_t>(n);
        }
    }
    // Reads from the master until n bytes came or timeoutMs passed.
    std::vector<std::uint8_t> receive(std::size_t n, int timeoutMs) const {
        std::vector<std::uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            std::uint8_t buf[512];
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
};

inline std::int64_t processCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

inline std::int64_t monoMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A temporary XDG_CONFIG_HOME for the life of the object.
struct TempConfigHome : TempFolder {
    const bool hadOld = std::getenv("XDG_CONFIG_HOME") != nullptr;
    const std::string old = hadOld ? std::getenv("XDG_CONFIG_HOME") : "";
    TempConfigHome() { setenv("XDG_CONFIG_HOME", path().c_str(), 1); }
    ~TempConfigHome() { hadOld ? setenv("XDG_CONFIG_HOME", old.c_str(), 1) : unsetenv("XDG_CONFIG_HOME"); }
    std::string read(const std::string& relPath) const { return readFile(path() / relPath); }
};

}  // namespace kvr::test
