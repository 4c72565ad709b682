#include "core/tracing_port.h"

#include <cstdio>

namespace kvr {

namespace {
// One lock per process is enough: trace lines are short and rare compared
// with the serial line's own pace, and it keeps lines of several ports on one
// stream whole.
std::mutex& traceMutex() {
    static std::mutex m;
    return m;
}
const char* okText(bool ok) { return ok ? "ok" : "failed"; }
}  // namespace

std::string traceLine(std::int64_t ms, const char* direction, ByteSpan data) {
    static const char* digits = "0123456789ABCDEF";
    std::string line = std::to_string(ms) + " " + direction;
    line.reserve(line.size() + data.size() * 3);
    for (std::uint8_t b : data) {
        line += ' ';
        line += digits[b >> 4];
        line += digits[b & 0x0F];
    }
    return line;
}

TracingPort::TracingPort(SerialPort& inner, Clock& clock, std::ostream& out)
    : inner_(inner), clock_(clock), out_(out) {}

TracingPort::TracingPort(std::unique_ptr<SerialPort> inner, Clock& clock, std::shared_ptr<std::ostream> out)
    : owned_(std::move(inner)), inner_(*owned_), clock_(clock), sharedOut_(std::move(out)), out_(*sharedOut_) {}

TracingPort::~TracingPort() {
    // The inner port may outlive us (non-owning form): leave it no handler
    // that points back into a destroyed object.
    inner_.setEventHandler(nullptr);
}

void TracingPort::writeLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(traceMutex());
    out_ << line << '\n';
    out_.flush();
}

void TracingPort::note(const std::string& what) { writeLine("# " + std::to_string(clock_.monotonicMs()) + " " + what); }

bool TracingPort::open(int portNumber, std::string& errorText) {
    const bool ok = inner_.open(portNumber, errorText);
    note("open " + std::to_string(portNumber) + (ok ? std::string(" ok") : " failed: " + errorText));
    return ok;
}

void TracingPort::close() {
    const bool wasOpen = inner_.isOpen();
    inner_.close();
    if (wasOpen) note("close " + std::to_string(inner_.portNumber()));
}

bool TracingPort::isOpen() const { return inner_.isOpen(); }
int TracingPort::portNumber() const { return inner_.portNumber(); }

bool TracingPort::setSettings(const std::string& settings) {
    const bool ok = inner_.setSettings(settings);
    note("settings " + settings + " " + okText(ok));
    return ok;
}

std::string TracingPort::settings() const { return inner_.settings(); }
std::size_t TracingPort::bytesWaiting() { return inner_.bytesWaiting(); }

Bytes TracingPort::readAll() {
    Bytes data = inner_.readAll();
    if (!data.empty()) writeLine(traceLine(clock_.monotonicMs(), "RX", data));
    return data;
}

bool TracingPort::write(ByteSpan data) {
    // Noted before the write: the time the bytes were handed to the port.
    if (!data.empty()) writeLine(traceLine(clock_.monotonicMs(), "TX", data));
    const bool ok = inner_.write(data);
    if (!ok) note("write failed");
    return ok;
}

bool TracingPort::setDtr(bool on) {
    const bool ok = inner_.setDtr(on);
    note(std::string("dtr ") + (on ? "1 " : "0 ") + okText(ok));
    return ok;
}

bool TracingPort::setRts(bool on) {
    const bool ok = inner_.setRts(on);
    note(std::string("rts ") + (on ? "1 " : "0 ") + okText(ok));
    return ok;
}

void TracingPort::clearInput() {
    // Bytes thrown away unread still went over the wire: trace them as RX,
    // else a trace would not explain a later answer.
    Bytes dropped = inner_.readAll();
    inner_.clearInput();
    if (!dropped.empty()) {
        writeLine(traceLine(clock_.monotonicMs(), "RX", dropped));
        note("clear input " + std::to_string(dropped.size()));
    }
}

bool TracingPort::waitForBytes(std::int64_t deadlineMs) { return inner_.waitForBytes(deadlineMs); }

void TracingPort::setEventHandler(std::function<void(PortEvent)> handler) {
    handler_ = std::move(handler);
    if (!handler_) {
        inner_.setEventHandler(nullptr);
        return;
    }
    inner_.setEventHandler([this](PortEvent e) {
        if (e == PortEvent::Error) note("event error");
        if (handler_) handler_(e);
    });
}

}  // namespace kvr
