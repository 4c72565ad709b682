#include "testing/pty_port.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "sim/devices/pty_termios.h"

namespace kvr::test {

namespace {

std::int64_t steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

bool PtySerialPort::open(int portNumber, std::string& errorText) {
    if (fd_ >= 0) {
        errorText = "Device or resource busy";
        return false;
    }
    auto it = paths_.find(portNumber);
    std::string path = it != paths_.end() ? it->second : "/dev/ttyS" + std::to_string(portNumber - 1);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        errorText = std::strerror(errno);
        return false;
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        errorText = std::strerror(errno);
        ::close(fd);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    port_ = portNumber;
    buffer_.clear();
    applyRate();
    return true;
}

void PtySerialPort::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
}

bool PtySerialPort::applyRate() {
    unsigned baud = static_cast<unsigned>(std::strtoul(settings_.c_str(), nullptr, 10));
    return baud > 0 && sim::ttySetBaud(fd_, baud);
}

bool PtySerialPort::setSettings(const std::string& settings) {
    settings_ = settings;
    return fd_ < 0 || applyRate();
}

void PtySerialPort::pump() {
    if (fd_ < 0) return;
    std::uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            buffer_.insert(buffer_.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;  // EAGAIN: nothing more for now
    }
}

std::size_t PtySerialPort::bytesWaiting() {
    pump();
    return buffer_.size();
}

Bytes PtySerialPort::readAll() {
    pump();
    Bytes out;
    out.swap(buffer_);
    return out;
}

bool PtySerialPort::write(ByteSpan data) {
    if (fd_ < 0) return false;
    std::size_t done = 0;
    const std::int64_t deadline = steadyMs() + 2000;
    while (done < data.size()) {
        ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            if (handler_) handler_(PortEvent::Error);
            return false;
        }
        std::int64_t left = deadline - steadyMs();
        if (left <= 0) return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
    if (handler_) handler_(PortEvent::Send);
    return true;
}

bool PtySerialPort::setDtr(bool on) {
    if (fd_ < 0) return false;
    int bits = TIOCM_DTR;
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool PtySerialPort::setRts(bool on) {
    if (fd_ < 0) return false;
    int bits = TIOCM_RTS;
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

void PtySerialPort::clearInput() {
    if (fd_ < 0) return;
    tcflush(fd_, TCIFLUSH);
    pump();
    buffer_.clear();
}

bool PtySerialPort::waitForBytes(std::int64_t deadlineMs) {
    if (fd_ < 0) return false;
    pump();
    if (buffer_.empty()) {
        std::int64_t left = deadlineMs - steadyMs();
        if (left > 0) {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 1000)));
            pump();
        }
    }
    if (buffer_.empty()) return false;
    if (handler_) handler_(PortEvent::Receive);
    return true;
}

}  // namespace kvr::test
