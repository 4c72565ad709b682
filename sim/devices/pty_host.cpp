#include "sim/devices/pty_host.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "sim/devices/pty_termios.h"

namespace kvr::sim {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

PtyHost::PtyHost(SimDevice& device, bool pace) : device_(device), pace_(pace) {}

PtyHost::~PtyHost() {
    stopThread();
    closeFd(master_);
    closeFd(slave_);
    closeFd(control_[0]);
    closeFd(control_[1]);
}

bool PtyHost::open(std::string& errorText) {
    auto fail = [&](const char* what) {
        errorText = std::string(what) + ": " + std::strerror(errno);
        closeFd(master_);
        closeFd(slave_);
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return fail("posix_openpt");
    if (grantpt(master_) != 0) return fail("grantpt");
    if (unlockpt(master_) != 0) return fail("unlockpt");
    char name[256];
    if (ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname");
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return fail("open slave");
    // No echo, no line editing, no translation: the line must carry all 256
    // byte values unchanged in both directions.
    if (!makeRaw(slave_)) return fail("tcsetattr slave");
    makeRaw(master_);
    if (pipe2(control_, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe");
    line_ = ttyLineSettings(slave_);
    if (line_.empty()) line_ = "9600,n,8,1";
    baud_ = static_cast<unsigned>(std::strtoul(line_.c_str(), nullptr, 10));
    return true;
}

std::int64_t PtyHost::nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t PtyHost::byteUs() const {
    unsigned baud = baud_ ? baud_ : 9600;
    return static_cast<std::int64_t>(10'000'000ull / baud);
}

void PtyHost::stop() {
    stopping_ = true;
    if (control_[1] >= 0) {
        char c = 'q';
        [[maybe_unused]] auto n = ::write(control_[1], &c, 1);
    }
}

void PtyHost::requestSnapshot() {
    if (control_[1] >= 0) {
        char c = 's';
        [[maybe_unused]] auto n = ::write(control_[1], &c, 1);
    }
}

void PtyHost::startThread() {
    stopping_ = false;
    thread_ = std::thread([this] { serve(); });
}

void PtyHost::stopThread() {
    if (thread_.joinable()) {
        stop();
        thread_.join();
    }
}

nlohmann::json PtyHost::deviceState() {
    std::lock_guard lock(mutex_);
    return device_.state();
}

void PtyHost::withDevice(const std::function<void(SimDevice&)>& f) {
    std::lock_guard lock(mutex_);
    f(device_);
}

std::string PtyHost::lineSettings() {
    std::lock_guard lock(mutex_);
    return line_;
}

void PtyHost::checkLine() {
    std::string now = ttyLineSettings(slave_);
    if (now.empty()) return;
    std::lock_guard lock(mutex_);
    if (now == line_) return;
    line_ = now;
    unsigned b = static_cast<unsigned>(std::strtoul(now.c_str(), nullptr, 10));
    if (b) baud_ = b;
    device_.lineSettingsChanged(now);
}

void PtyHost::enqueue(SimOutput& out) {
    std::int64_t t = nowUs();
    // A new answer never overtakes output still queued.
    if (!queue_.empty()) {
        const auto& last = queue_.back();
        std::int64_t end = last.dueUs + (pace_ ? static_cast<std::int64_t>(last.bytes.size()) * byteUs() : 0);
        t = std::max(t, end);
    }
    for (auto& c : out.chunks) {
        t += c.delayMs * 1000;
        if (c.bytes.empty()) continue;
        std::int64_t len = static_cast<std::int64_t>(c.bytes.size());
        queue_.push_back({t, std::move(c.bytes), 0});
        if (pace_) t += len * byteUs();
    }
    out.chunks.clear();
}

void PtyHost::flushDue() {
    writeBlocked_ = false;
    while (!queue_.empty()) {
        auto& p = queue_.front();
        std::int64_t now = nowUs();
        if (p.dueUs > now) return;
        std::size_t allowed = p.bytes.size() - p.sent;
        if (pace_) {
            auto due = static_cast<std::size_t>((now - p.dueUs) / byteUs() + 1);
            allowed = std::min(allowed, due > p.sent ? due - p.sent : 0);
            if (allowed == 0) return;
        }
        ssize_t n = ::write(master_, p.bytes.data() + p.sent, allowed);
        if (n < 0) {
            if (errno == EINTR) continue;
            // EAGAIN: the slave's input is full; wait until it drains.
            writeBlocked_ = (errno == EAGAIN);
            if (!writeBlocked_) queue_.pop_front();  // nothing can be done with it
            return;
        }
        p.sent += static_cast<std::size_t>(n);
        bytesOut_ += static_cast<std::uint64_t>(n);
        if (p.sent >= p.bytes.size()) queue_.pop_front();
        else if (!pace_) {
            writeBlocked_ = true;
            return;
        }
    }
}

std::int64_t PtyHost::nextWakeUs() const {
    if (queue_.empty() || writeBlocked_) return -1;
    const auto& p = queue_.front();
    if (!pace_) return p.dueUs;
    return p.dueUs + static_cast<std::int64_t>(p.sent) * byteUs();
}

void PtyHost::serve() {
    // Line settings have no change notification on a pseudo-terminal: look
    // at them whenever bytes arrive and a few times a second otherwise.
    constexpr int kLineCheckMs = 100;
    std::uint8_t buf[4096];
    while (!stopping_) {
        int timeout = kLineCheckMs;
        if (std::int64_t wake = nextWakeUs(); wake >= 0) {
            std::int64_t ms = (wake - nowUs() + 999) / 1000;
            timeout = static_cast<int>(std::clamp<std::int64_t>(ms, 0, kLineCheckMs));
        }
        pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (writeBlocked_ ? POLLOUT : 0)), 0},
                         {control_[0], POLLIN, 0}};
        int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && (fds[1].revents & POLLIN)) {
            char c[16];
            ssize_t n;
            while ((n = ::read(control_[0], c, sizeof c)) > 0) {
                for (ssize_t i = 0; i < n; ++i) {
                    if (c[i] == 's' && onSnapshot) onSnapshot();
                }
            }
            if (stopping_) break;
        }
        checkLine();
        if (r > 0 && (fds[0].revents & POLLIN)) {
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                bytesIn_ += static_cast<std::uint64_t>(n);
                SimOutput out;
                {
                    std::lock_guard lock(mutex_);
                    device_.receive(ByteSpan(buf, static_cast<std::size_t>(n)), out);
                }
                enqueue(out);
            }
        }
        flushDue();
    }
}

}  // namespace kvr::sim
