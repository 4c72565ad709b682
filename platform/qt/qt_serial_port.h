// The serial port on QSerialPort.
//
// Thread rule: create, use and destroy a QtSerialPort on one thread, the one
// that runs the job (a worker, never the GUI thread: it blocks in
// waitForReadyRead / waitForBytesWritten). It needs no event loop.
//
// Port numbers: on Windows port N is "COM<N>". On Linux port N is the device
// named by the setting "COM<N>" in section "Ports" of application "KVR" when
// present (e.g. COM3=/dev/ttyUSB0 or a pseudo-terminal), else /dev/ttyS<N-1>.
//
// The line is raw (all 256 byte values pass unchanged), no flow control.
// Line settings "<baud>,<parity n|e|o|m|s>,<data bits>,<stop bits 1|1.5|2>";
// a rate the system does not name (56000) is set as a custom rate.
#pragma once

#include <memory>
#include <string>

#include "core/platform.h"

class QSerialPort;

namespace kvr::qt {

struct LineSettings {
    int baud = 9600;
    char parity = 'n';   // n, e, o, m, s
    int dataBits = 8;    // 5..8
    int stopBits = 1;    // 1 or 2 (1.5 is kept as 3)
};
// Parses "9600,n,8,1". Returns false on malformed text (out untouched).
bool parseLineSettings(const std::string& text, LineSettings& out);

// The device path port N maps to (see above), looked up in `settings`.
std::string portDevicePath(int portNumber, Settings& settings);

class QtSerialPort : public SerialPort {
public:
    // `settings` gives the port mapping; it must outlive the port.
    explicit QtSerialPort(Settings& settings);
    ~QtSerialPort() override;

    bool open(int portNumber, std::string& errorText) override;
    void close() override;
    bool isOpen() const override;
    int portNumber() const override { return port_; }
    bool setSettings(const std::string& settings) override;
    std::string settings() const override { return settingsText_; }
    std::size_t bytesWaiting() override;
    Bytes readAll() override;
    // Writes and waits until the bytes left (bounded), so output keeps its order.
    bool write(ByteSpan data) override;
    // Fails harmlessly on lines without modem control (pseudo-terminals).
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    void clearInput() override;
    // True when bytes are waiting. Fires Receive when bytes arrived since the
    // last Receive (the handler may read them; true is returned even then).
    // Waits at most 100 ms per call (callers loop and yield). Never spins,
    // not even on a closed or hung-up port. The deadline is on SystemClock's
    // monotonic clock (std::chrono::steady_clock milliseconds).
    bool waitForBytes(std::int64_t deadlineMs) override;
    void setEventHandler(std::function<void(PortEvent)> handler) override { handler_ = std::move(handler); }

    // The OS handle of the open port (-1 when closed), for tests.
    int nativeHandle() const;

private:
    bool applySettings();
    // The system's receive queue is known to be empty (one ioctl).
    bool systemHoldsNothing() const;
    void fire(PortEvent e);
    void checkError();

    Settings& store_;
    std::unique_ptr<QSerialPort> port_impl_;
    int port_ = 0;
    std::string settingsText_ = "9600,n,8,1";
    std::function<void(PortEvent)> handler_;
    std::size_t announced_ = 0;  // bytes waiting when Receive last fired
    bool quietErrors_ = false;   // modem-line calls: a refusal is no port error
};

}  // namespace kvr::qt
