// A serial port on a POSIX terminal device (a pseudo-terminal from PtyHost
// or kvr-sim, or a real tty), for integration tests of the links. Waiting
// blocks in poll(); nothing spins.
#pragma once

#include <map>
#include <string>

#include "core/platform.h"

namespace kvr::test {

class PtySerialPort : public SerialPort {
public:
    PtySerialPort() = default;
    ~PtySerialPort() override { close(); }
    PtySerialPort(const PtySerialPort&) = delete;
    PtySerialPort& operator=(const PtySerialPort&) = delete;

    // Port N opens this path (default: /dev/ttyS<N-1>).
    void setPath(int portNumber, std::string path) { paths_[portNumber] = std::move(path); }

    bool open(int portNumber, std::string& errorText) override;
    void close() override;
    bool isOpen() const override { return fd_ >= 0; }
    int portNumber() const override { return port_; }
    bool setSettings(const std::string& settings) override;
    std::string settings() const override { return settings_; }
    std::size_t bytesWaiting() override;
    Bytes readAll() override;
    bool write(ByteSpan data) override;
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    void clearInput() override;
    // deadlineMs on std::chrono::steady_clock in milliseconds, as
    // kvr::SystemClock counts.
    bool waitForBytes(std::int64_t deadlineMs) override;
    void setEventHandler(std::function<void(PortEvent)> handler) override { handler_ = std::move(handler); }

private:
    void pump();  // moves whatever the terminal holds into buffer_
    bool applyRate();
    std::map<int, std::string> paths_;
    int fd_ = -1;
    int port_ = 0;
    std::string settings_ = "9600,n,8,1";
    Bytes buffer_;
    std::function<void(PortEvent)> handler_;
};

}  // namespace kvr::test
