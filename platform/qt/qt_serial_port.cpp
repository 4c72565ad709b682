#include "platform/qt/qt_serial_port.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include <QSerialPort>

#ifdef __linux__
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "platform/qt/line_rate.h"

namespace kvr::qt {

namespace {

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr std::int64_t kSliceMs = 100;  // longest single block, so callers yield often

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    const auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool parseWhole(const std::string& s, int& out) {
    if (s.empty() || s.size() > 9) return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

QSerialPort::Parity toQt(char parity) {
    switch (parity) {
        case 'e': return QSerialPort::EvenParity;
        case 'o': return QSerialPort::OddParity;
        case 'm': return QSerialPort::MarkParity;
        case 's': return QSerialPort::SpaceParity;
        default: return QSerialPort::NoParity;
    }
}

}  // namespace

bool parseLineSettings(const std::string& text, LineSettings& out) {
    std::vector<std::string> parts;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) parts.push_back(trim(item));
    if (parts.size() != 4) return false;
    LineSettings ls;
    if (!parseWhole(parts[0], ls.baud) || ls.baud <= 0) return false;
    if (parts[1].size() != 1) return false;
    const char p = static_cast<char>(std::tolower(static_cast<unsigned char>(parts[1][0])));
    if (std::string("neoms").find(p) == std::string::npos) return false;
    ls.parity = p;
    if (!parseWhole(parts[2], ls.dataBits) || ls.dataBits < 5 || ls.dataBits > 8) return false;
    if (parts[3] == "1") {
        ls.stopBits = 1;
    } else if (parts[3] == "2") {
        ls.stopBits = 2;
    } else if (parts[3] == "1.5") {
        ls.stopBits = 3;
    } else {
        return false;
    }
    out = ls;
    return true;
}

std::string portDevicePath(int portNumber, Settings& settings) {
#ifdef _WIN32
    (void)settings;
    return "COM" + std::to_string(portNumber);
#else
    const std::string key = "COM" + std::to_string(portNumber);
    if (auto mapped = settings.get("KVR", "Ports", key); mapped && !trim(*mapped).empty()) return trim(*mapped);
    return "/dev/ttyS" + std::to_string(portNumber - 1);
#endif
}

QtSerialPort::QtSerialPort(Settings& settings) : store_(settings), port_impl_(std::make_unique<QSerialPort>()) {
    // Without an event loop QSerialPort still reports errors synchronously
    // through this signal; timeouts are our own waits ending, not errors.
    QObject::connect(port_impl_.get(), &QSerialPort::errorOccurred, [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError || quietErrors_) return;
        fire(PortEvent::Error);
    });
}

QtSerialPort::~QtSerialPort() {
    handler_ = nullptr;
    if (port_impl_->isOpen()) port_impl_->close();
}

void QtSerialPort::fire(PortEvent e) {
    if (handler_) handler_(e);
}

bool QtSerialPort::open(int portNumber, std::string& errorText) {
    errorText.clear();
    if (port_impl_->isOpen()) port_impl_->close();
    port_ = portNumber;
    announced_ = 0;
    if (portNumber <= 0) {
        errorText = "No such port";
        return false;
    }
    const std::string device = portDevicePath(portNumber, store_);
    port_impl_->setPortName(QString::fromStdString(device));
    if (!port_impl_->open(QIODevice::ReadWrite)) {
        // The number alone does not tell a person which device was tried.
        errorText = device + ": " + port_impl_->errorString().toStdString();
        port_impl_->clearError();
        return false;
    }
    port_impl_->setFlowControl(QSerialPort::NoFlowControl);
    applySettings();
    port_impl_->clearError();
    return true;
}

void QtSerialPort::close() {
    if (port_impl_->isOpen()) port_impl_->close();
    port_impl_->clearError();
    announced_ = 0;
}

bool QtSerialPort::isOpen() const { return port_impl_->isOpen(); }

int QtSerialPort::nativeHandle() const {
#ifdef _WIN32
    return -1;
#else
    return port_impl_->isOpen() ? static_cast<int>(port_impl_->handle()) : -1;
#endif
}

bool QtSerialPort::setSettings(const std::string& settings) {
    LineSettings ls;
    if (!parseLineSettings(settings, ls)) return false;
    settingsText_ = settings;
    if (!port_impl_->isOpen()) return true;
    return applySettings();
}

bool QtSerialPort::applySettings() {
    LineSettings ls;
    if (!parseLineSettings(settingsText_, ls)) return false;
    bool ok = true;
    ok &= port_impl_->setDataBits(static_cast<QSerialPort::DataBits>(ls.dataBits));
    ok &= port_impl_->setParity(toQt(ls.parity));
    ok &= port_impl_->setStopBits(ls.stopBits == 2   ? QSerialPort::TwoStop
                                  : ls.stopBits == 3 ? QSerialPort::OneAndHalfStop
                                                     : QSerialPort::OneStop);
    const bool rateOk = port_impl_->setBaudRate(ls.baud);
#ifdef __linux__
    // A rate outside the classic table (56000) must really reach the line:
    // check what the terminal holds and set it by number when Qt did not.
    const int fd = static_cast<int>(port_impl_->handle());
    if (readLineRate(fd) != ls.baud && !writeLineRate(fd, ls.baud)) ok = false;
#else
    ok &= rateOk;
#endif
    (void)rateOk;
    port_impl_->clearError();
    return ok;
}

bool QtSerialPort::systemHoldsNothing() const {
#ifdef __linux__
    int queued = 0;
    return ::ioctl(static_cast<int>(port_impl_->handle()), FIONREAD, &queued) == 0 && queued == 0;
#else
    return false;  // unknown: take Qt's own path
#endif
}

std::size_t QtSerialPort::bytesWaiting() {
    if (!port_impl_->isOpen()) return 0;
    // Exchanges ask this several times per answer: when the system holds no
    // new bytes, one ioctl answers it without Qt's poll-and-read round.
    if (systemHoldsNothing()) return static_cast<std::size_t>(port_impl_->bytesAvailable());
    // Without an event loop nothing moves bytes from the OS into
    // QSerialPort's buffer: a zero-time wait does (one poll, no blocking).
    port_impl_->waitForReadyRead(0);
    port_impl_->clearError();
    return static_cast<std::size_t>(port_impl_->bytesAvailable());
}

Bytes QtSerialPort::readAll() {
    Bytes out;
    if (!port_impl_->isOpen()) return out;
    // Bytes already in our buffer came with the wait that announced them;
    // any that arrived since wake the next wait at once. Asking the system
    // only when the buffer is empty saves a call on every answer.
    if (port_impl_->bytesAvailable() == 0) bytesWaiting();
    const QByteArray data = port_impl_->readAll();
    announced_ = 0;
    out.assign(reinterpret_cast<const std::uint8_t*>(data.constData()),
               reinterpret_cast<const std::uint8_t*>(data.constData()) + data.size());
    return out;
}

bool QtSerialPort::write(ByteSpan data) {
    if (!port_impl_->isOpen()) return false;
    if (data.empty()) return true;
    // Bound of every wait for the bytes to leave: twice their time on the
    // line plus two seconds, so a stalled line cannot hold the program.
    auto writeDeadline = [&] {
        LineSettings ls;
        parseLineSettings(settingsText_, ls);
        const std::int64_t lineMs = static_cast<std::int64_t>(data.size()) * 10 * 1000 / std::max(ls.baud, 1);
        return nowMs() + 2000 + 2 * lineMs;
    };
#ifdef __linux__
    // With nothing of ours still queued, the bytes go straight to the
    // terminal: Qt's own path copies them into its buffer and needs a poll
    // for writability before the write, on every request.
    if (port_impl_->bytesToWrite() == 0) {
        const int fd = static_cast<int>(port_impl_->handle());
        std::int64_t deadline = -1;  // set at the first full queue
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                // The line went away: as Qt reports it, an error of the port.
                fire(PortEvent::Error);
                return false;
            }
            // Output queue full: wait until it drains, bounded like Qt's path.
            if (deadline < 0) deadline = writeDeadline();
            const std::int64_t left = deadline - nowMs();
            if (left <= 0) return false;
            pollfd pfd{fd, POLLOUT, 0};
            const std::int64_t sliceStart = nowMs();
            const int r = ::poll(&pfd, 1, static_cast<int>(std::min(left, kSliceMs)));
            if (r > 0 && (pfd.revents & (POLLERR | POLLNVAL)) != 0) {
                fire(PortEvent::Error);
                return false;
            }
            // A broken line may report at once again and again: never loop hot.
            if (r != 0 && (pfd.revents & POLLOUT) == 0 && nowMs() - sliceStart < 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::int64_t>(left, 10)));
        }
        fire(PortEvent::Send);
        return true;
    }
#endif
    const qint64 n = port_impl_->write(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()));
    if (n != static_cast<qint64>(data.size())) {
        port_impl_->clearError();
        return false;
    }
    const std::int64_t deadline = writeDeadline();
    while (port_impl_->bytesToWrite() > 0) {
        const std::int64_t left = deadline - nowMs();
        if (left <= 0) break;
        const std::int64_t sliceStart = nowMs();
        if (!port_impl_->waitForBytesWritten(static_cast<int>(std::min(left, kSliceMs)))) {
            port_impl_->clearError();
            // A broken line may report failure at once: never loop hot.
            if (port_impl_->bytesToWrite() > 0 && nowMs() - sliceStart < 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::int64_t>(left, 10)));
        }
    }
    const bool flushed = port_impl_->bytesToWrite() == 0;
    if (flushed) fire(PortEvent::Send);
    return flushed;
}

bool QtSerialPort::setDtr(bool on) {
    if (!port_impl_->isOpen()) return false;
    // A line without modem control (a pseudo-terminal) refuses this; the
    // refusal must leave the port usable and must not light the error lamp.
    quietErrors_ = true;
    const bool ok = port_impl_->setDataTerminalReady(on);
    quietErrors_ = false;
    port_impl_->clearError();
    return ok;
}

bool QtSerialPort::setRts(bool on) {
    if (!port_impl_->isOpen()) return false;
    quietErrors_ = true;
    const bool ok = port_impl_->setRequestToSend(on);
    quietErrors_ = false;
    port_impl_->clearError();
    return ok;
}

void QtSerialPort::clearInput() {
    if (!port_impl_->isOpen()) return;
    // Nothing left over, the usual case before a request: a flush of the
    // terminal costs the line's driver a round of work for nothing.
    if (port_impl_->bytesAvailable() == 0 && systemHoldsNothing()) {
        announced_ = 0;
        return;
    }
    port_impl_->clear(QSerialPort::Input);
    // Whatever was already pulled into Qt's buffer goes too.
    port_impl_->skip(port_impl_->bytesAvailable());
    port_impl_->clearError();
    announced_ = 0;
}

bool QtSerialPort::waitForBytes(std::int64_t deadlineMs) {
    const std::int64_t start = nowMs();
    const std::int64_t slice = std::min(deadlineMs - start, kSliceMs);
    if (!port_impl_->isOpen()) {
        if (slice > 0) std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        return false;
    }
    // Bytes still in our buffer answer at once; bytes still in the system
    // make the wait below return at once, so no query of the system first.
    std::size_t avail = static_cast<std::size_t>(port_impl_->bytesAvailable());
    if (avail == 0 && slice <= 0) avail = bytesWaiting();
    if (avail == 0 && slice > 0) {
        if (!port_impl_->waitForReadyRead(static_cast<int>(slice))) port_impl_->clearError();
        avail = static_cast<std::size_t>(port_impl_->bytesAvailable());
        // A hung-up line can make the wait return at once again and again;
        // sleep out the slice so a caller's loop never runs hot.
        const std::int64_t spent = nowMs() - start;
        if (avail == 0 && spent < slice) std::this_thread::sleep_for(std::chrono::milliseconds(slice - spent));
    }
    if (avail > announced_) {
        // New bytes: the receive event, as the window's port control raises
        // it. Its handler may read them itself.
        fire(PortEvent::Receive);
        announced_ = static_cast<std::size_t>(port_impl_->bytesAvailable());
        return true;
    }
    return avail > 0;
}

}  // namespace kvr::qt
