// A serial port that records every byte it moves. Wraps the real port when
// a program runs with --trace FILE, so a failed exchange in the field can be
// read back byte by byte.
//
// One line per write() and per chunk read, flushed at once:
//     <monotonic ms> TX <hex bytes, upper case, space separated>
//     <monotonic ms> RX <hex bytes ...>
// Opening, closing and line settings are noted on lines starting with "#":
//     # <ms> open <N> ok            # <ms> open <N> failed: <error text>
//     # <ms> close <N>              # <ms> settings <text> ok|failed
//     # <ms> dtr <0|1> ok|failed    # <ms> rts <0|1> ok|failed
//     # <ms> clear input <count>    (bytes discarded unread, when any)
//     # <ms> event error            (the port reported an error)
#pragma once

#include <memory>
#include <mutex>
#include <ostream>

#include "core/platform.h"

namespace kvr {

// Formats one data line (without newline): "<ms> TX 01 A5 FF".
std::string traceLine(std::int64_t ms, const char* direction, ByteSpan data);

class TracingPort : public SerialPort {
public:
    // Wraps `inner` (not owned); trace lines go to `out`. Both must outlive this.
    TracingPort(SerialPort& inner, Clock& clock, std::ostream& out);
    // Owns `inner`; several ports may share one trace stream (lines are whole
    // and written under a lock shared by all ports on that stream).
    TracingPort(std::unique_ptr<SerialPort> inner, Clock& clock, std::shared_ptr<std::ostream> out);
    ~TracingPort() override;

    bool open(int portNumber, std::string& errorText) override;
    void close() override;
    bool isOpen() const override;
    int portNumber() const override;
    bool setSettings(const std::string& settings) override;
    std::string settings() const override;
    std::size_t bytesWaiting() override;
    Bytes readAll() override;
    bool write(ByteSpan data) override;
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    void clearInput() override;
    bool waitForBytes(std::int64_t deadlineMs) override;
    void setEventHandler(std::function<void(PortEvent)> handler) override;

    SerialPort& inner() { return inner_; }

private:
    void writeLine(const std::string& line);
    void note(const std::string& what);

    std::unique_ptr<SerialPort> owned_;
    SerialPort& inner_;
    Clock& clock_;
    std::shared_ptr<std::ostream> sharedOut_;
    std::ostream& out_;
    std::function<void(PortEvent)> handler_;
};

}  // namespace kvr
