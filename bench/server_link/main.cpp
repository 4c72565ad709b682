// Request/answer cost of the probe-server link on a pseudo-terminal.
//
//   bench_server_link [seconds-per-loop]
//
// One responder thread serves the pty master; the client loops run on the
// main thread, one after another, each for the same time:
//   a  ServerLink record reads (11 bytes out, 42 back) over the program's
//      Qt serial port
//   a' the same over a bare poll() port, to separate link from port cost
//   b  the machine's limit: a bare poll() loop, same bytes, same responder
//   c  libmodbus RTU client reading 16 registers from an RTU responder
// then the CPU used while waiting for a device that never answers, and the
// record rate with the answer paced at 9600 baud (10 bits per byte).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <functional>
#include <vector>
#include <algorithm>

#include "core/system_clock.h"
#include "platform/qt/qt_serial_port.h"
#include "server_link/server_link.h"
#include "testing/fakes.h"

namespace {

using namespace kvr;

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::uint16_t crc16(const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int b = 0; b < 8; ++b) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    }
    return static_cast<std::uint16_t>(c);
}

void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

enum class Mode { Server, Modbus, Silent };

// Serves the pty master: probe-server frames (answers 0x13 with a 42-byte
// frame) or Modbus RTU read-holding-registers, optionally paced.
class Responder {
public:
    explicit Responder(int master) : fd_(master) { thread_ = std::thread([this] { run(); }); }
    ~Responder() {
        stop_ = true;
        thread_.join();
    }
    std::atomic<Mode> mode{Mode::Server};
    std::atomic<bool> paced{false};

private:
    void run() {
        Bytes buf;
        std::uint8_t in[512];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = read(fd_, in, sizeof in);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                const std::uint8_t b = in[i];
                if (mode == Mode::Modbus) {
                    buf.push_back(b);
                    if (buf.size() == 8) {
                        answerModbus(buf);
                        buf.clear();
                    }
                    continue;
                }
                if (buf.empty() && b != 0x5E) continue;
                buf.push_back(b);
                if (buf.size() >= 4 && buf.size() == std::size_t{buf[3]} + 6u) {
                    if (mode == Mode::Server) answerServer(buf);
                    buf.clear();
                }
            }
        }
    }
    void answerServer(const Bytes& req) {
        Bytes a{0x5E, 0xFF, 0xFF, 36, 0x01, req[5]};
        a.resize(6 + 34, 0);
        a[8] = 0x1A;  // a kind-1 record; its content does not matter here
        const auto c = crc16(a.data() + 1, a.size() - 1);
        a.push_back(c & 0xFF);
        a.push_back(c >> 8);
        if (paced) {
            // The request took 11 byte times on the wire before we saw it.
            sendPaced(a, 11);
        } else {
            send(a);
        }
    }
    void answerModbus(const Bytes& req) {
        Bytes a{req[0], 0x03, 32};
        a.resize(3 + 32, 0x11);
        const auto c = crc16(a.data(), a.size());
        a.push_back(c & 0xFF);
        a.push_back(c >> 8);
        send(a);
    }
    void send(const Bytes& a) {
        std::size_t off = 0;
        while (off < a.size()) {
            const ssize_t w = write(fd_, a.data() + off, a.size() - off);
            if (w <= 0) return;
            off += static_cast<std::size_t>(w);
        }
    }
    void sendPaced(const Bytes& a, int leadBytes) {
        using namespace std::chrono;
        const auto byteTime = nanoseconds(1'000'000'000LL * 10 / 9600);
        const auto t0 = steady_clock::now() + byteTime * leadBytes;
        for (std::size_t i = 0; i < a.size(); ++i) {
            std::this_thread::sleep_until(t0 + byteTime * static_cast<long>(i + 1));
            if (write(fd_, &a[i], 1) != 1) return;
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A bare poll()-based port, to tell the link's cost from the Qt port's.
class PollPort : public SerialPort {
public:
    explicit PollPort(std::string path) : path_(std::move(path)) {}
    ~PollPort() override { close(); }
    bool open(int, std::string& err) override {
        fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) err = std::strerror(errno);
        if (fd_ >= 0) makeRaw(fd_);
        return fd_ >= 0;
    }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool isOpen() const override { return fd_ >= 0; }
    int portNumber() const override { return 1; }
    bool setSettings(const std::string&) override { return true; }
    std::string settings() const override { return "9600,n,8,1"; }
    std::size_t bytesWaiting() override {
        int n = 0;
        ioctl(fd_, FIONREAD, &n);
        return static_cast<std::size_t>(n);
    }
    Bytes readAll() override {
        Bytes out(bytesWaiting());
        const ssize_t n = out.empty() ? 0 : ::read(fd_, out.data(), out.size());
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return out;
    }
    bool write(ByteSpan d) override {
        std::size_t off = 0;
        while (off < d.size()) {
            const ssize_t w = ::write(fd_, d.data() + off, d.size() - off);
            if (w > 0) {
                off += static_cast<std::size_t>(w);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
        return true;
    }
    bool setDtr(bool) override { return false; }
    bool setRts(bool) override { return false; }
    void clearInput() override { tcflush(fd_, TCIFLUSH); }
    bool waitForBytes(std::int64_t deadlineMs) override {
        const auto now = clock_.monotonicMs();
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(std::clamp<std::int64_t>(deadlineMs - now, 0, 100))) > 0;
    }
    void setEventHandler(std::function<void(PortEvent)>) override {}

private:
    std::string path_;
    int fd_ = -1;
    SystemClock clock_;
};

class NullScreen : public Screen {
public:
    void showEvent(const std::string&) override {}
    void setLed(int, char) override {}
    void setProgress(int) override {}
    void yield() override {}
    bool messageBox(const std::string&, const std::string&, Icon, Buttons) override { return true; }
    std::string inputBox(const std::string&, const std::string&, const std::string& d) override { return d; }
};

struct Result {
    long count = 0;
    long failures = 0;
    double wall = 0, cpu = 0;
    double perSecond() const { return wall > 0 ? static_cast<double>(count) / wall : 0; }
    double cpuUsPerExchange() const { return count ? cpu * 1e6 / static_cast<double>(count) : 0; }
};

// Runs `exchange` for `seconds`, adding to r.
void loop(Result& r, double seconds, const std::function<bool()>& exchange) {
    const double w0 = wallSeconds(), c0 = threadCpuSeconds();
    while (wallSeconds() - w0 < seconds) {
        if (!exchange()) ++r.failures;
        ++r.count;
    }
    r.wall += wallSeconds() - w0;
    r.cpu += threadCpuSeconds() - c0;
}

std::function<bool()> linkExchange(ServerLink& link, LinkState& st) {
    return [&link, &st, recNo = 0]() mutable {
        link.v5Add(0x13);
        link.v5Add(static_cast<std::uint8_t>(recNo >> 8));
        link.v5Add(static_cast<std::uint8_t>(recNo));
        link.v5Transmit();
        recNo = (recNo + 1) & 0x3FF;
        return !st.CommsError;
    };
}

std::function<bool()> rawExchange(int fd) {
    return [fd] {
        std::uint8_t req[11] = {0x00, 0x5E, 0xFF, 0xFF, 0x04, 0x00, 0x13, 0x00, 0x01, 0, 0};
        const auto c = crc16(req + 2, 7);
        req[9] = c & 0xFF;
        req[10] = c >> 8;
        std::uint8_t in[256];
        if (::write(fd, req, sizeof req) != static_cast<ssize_t>(sizeof req)) return false;
        int got = 0;
        while (got < 42) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 500) <= 0) return false;
            const ssize_t n = ::read(fd, in, sizeof in);
            if (n > 0) got += static_cast<int>(n);
        }
        return true;
    };
}

}  // namespace

int main(int argc, char** argv) {
    const double secs = argc > 1 ? std::atof(argv[1]) : 3.0;
    QCoreApplication app(argc, argv);

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pty");
        return 1;
    }
    const std::string slave = ptsname(master);
    makeRaw(master);
    // Keeps the slave side open between clients so the master never sees a hang-up.
    const int keep = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    makeRaw(keep);
    Responder responder(master);

    SystemClock clock;
    test::MemorySettings settings;
    settings.set("KVR", "Ports", "COM1", slave);
    NullScreen screen;
    LinkState st;

    // Every client stays open; only the one running reads the line.
    qt::QtSerialPort qtPort(settings);
    std::string err;
    if (!qtPort.open(1, err)) {
        std::fprintf(stderr, "open %s: %s\n", slave.c_str(), err.c_str());
        return 1;
    }
    Platform qtPlatform{clock, qtPort, settings, screen};
    ServerLink qtLink(qtPlatform, st);
    PollPort pollPort(slave);
    pollPort.open(1, err);
    Platform pollPlatform{clock, pollPort, settings, screen};
    ServerLink pollLink(pollPlatform, st);
    const int rawFd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    makeRaw(rawFd);
    modbus_t* mb = modbus_new_rtu(slave.c_str(), 9600, 'N', 8, 1);
    if (!mb || modbus_set_slave(mb, 1) != 0 || modbus_connect(mb) != 0) {
        std::fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
        return 1;
    }
    std::uint16_t regs[16];

    struct Loop {
        const char* name;
        Mode mode;
        std::function<bool()> exchange;
        Result r;
    };
    std::vector<Loop> loops = {
        {"(a)  ServerLink v5Transmit, Qt serial port", Mode::Server, linkExchange(qtLink, st), {}},
        {"(a') ServerLink v5Transmit, poll() port", Mode::Server, linkExchange(pollLink, st), {}},
        {"(b)  bare poll() request/answer loop", Mode::Server, rawExchange(rawFd), {}},
        {"(c)  libmodbus RTU, 16 registers", Mode::Modbus,
         [&] { return modbus_read_registers(mb, 0, 16, regs) == 16; }, {}},
    };
    // The machine is shared: interleave short slices in a rotating order so
    // a change in load hits every loop alike.
    constexpr int kRounds = 10;
    for (int round = 0; round < kRounds; ++round)
        for (std::size_t k = 0; k < loops.size(); ++k) {
            Loop& l = loops[(k + static_cast<std::size_t>(round)) % loops.size()];
            responder.mode = l.mode;
            loop(l.r, secs / kRounds, l.exchange);
        }
    responder.mode = Mode::Server;
    const Result& b = loops[2].r;

    // Waiting for a device that never answers: four attempts.
    responder.mode = Mode::Silent;
    const double w0 = wallSeconds(), c0 = threadCpuSeconds();
    qtLink.v5Add(0x13);
    qtLink.v5Add(0);
    qtLink.v5Add(0);
    qtLink.v5Transmit();
    const double waitSecs = wallSeconds() - w0;
    const double waitCpuPct = (threadCpuSeconds() - c0) / waitSecs * 100;
    responder.mode = Mode::Server;

    // The wire's pace: 9600 baud, 10 bits a byte, 53 bytes an exchange.
    responder.paced = true;
    Result paced;
    loop(paced, secs, linkExchange(qtLink, st));
    responder.paced = false;

    std::printf("pty %s, %.1f s per loop in %d slices\n\n", slave.c_str(), secs, kRounds);
    std::printf("%-44s %10s %8s %12s %8s\n", "loop", "exch/s", "vs (b)", "CPU us/exch", "failed");
    for (const auto& l : loops)
        std::printf("%-44s %10.0f %8.2f %12.1f %8ld\n", l.name, l.r.perSecond(),
                    b.perSecond() > 0 ? l.r.perSecond() / b.perSecond() : 0, l.r.cpuUsPerExchange(), l.r.failures);
    std::printf("\nwaiting on a silent device: %.2f s for four attempts, CPU %.2f %% of one core\n", waitSecs,
                waitCpuPct);
    const double wire = 9600.0 / 10 / (11 + 42);
    std::printf("paced at 9600 baud: %.1f records/s, wire limit %.1f/s (%.0f %%), %ld failed\n", paced.perSecond(),
                wire, paced.perSecond() / wire * 100, paced.failures);
    modbus_close(mb);
    modbus_free(mb);
    ::close(rawFd);
    qtPort.close();
    ::close(keep);
    ::close(master);
    return 0;
}
