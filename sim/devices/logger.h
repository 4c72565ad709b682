// A simulated logger of the three sorts the logger link meets: an ordinary
// logger (data blocks behind probe header blocks), an extended logger (a ring
// of records from block 64, 18-byte count answer) and the "NVA4-SVR" server
// layout (long status answer, ring from block 8). It checks every request
// strictly (start and end marker, length, direction, checksum), answers the
// commands of the logger protocol, and remembers what the program did to it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/probe_reading.h"
#include "sim/devices/faults.h"
#include "sim/devices/sim_device.h"

namespace kvr::sim {

struct LoggerOptions {
    enum class Type { Ordinary, Extended, Server };
    Type type = Type::Ordinary;
    int readings = 30;          // records to collect (ordinary: readings in data blocks)
    int probes = 3;             // probes that reported
    int probeMax = 199999;      // largest probe number drawn
    int slots = 64;             // ring size (extended, server)
    std::optional<int> next;    // ring position of the first record to collect
    int versionByte = 120;      // extended loggers: 100..254
    int firmwareMajor = 4, firmwareMinor = 12;
    std::optional<LocalTime> now;   // readings are dated before this (default: present time)
    std::optional<LocalTime> clock; // the logger's own clock (default: now)
    bool orphanBlock = false;   // ordinary: a data block before the first header block
    bool noHighSpeed = false;   // acknowledges 56000 baud but keeps 9600
    bool modemZero = false;     // answer every request with 0x5E 0x00
    bool modemEcho = false;     // echo every request unchanged
    int badLengthEvery = 0;     // answers N, 2N, ... announce length 13
    std::int64_t replyDelayMs = 5;
    FaultOptions faults;
};

// Parses the kind's options (faults included); throws std::invalid_argument.
LoggerOptions parseLoggerOptions(const std::vector<std::string>& args);
std::string loggerOptionsHelp();

class Logger : public SimDevice {
public:
    explicit Logger(LoggerOptions options);

    void receive(ByteSpan data, SimOutput& out) override;
    void lineSettingsChanged(const std::string& settings) override;
    nlohmann::json state() const override;

    // Rows a complete download writes to the running file, in order.
    const std::vector<std::string>& expectedRows() const { return expected_; }
    std::int32_t numReadings() const;
    std::int32_t nextRecord() const { return next_; }
    std::int32_t endRecord() const { return end_; }
    std::int32_t recordSlots() const { return o_.slots; }
    int baud() const { return baud_; }
    // Block contents (erased memory reads as 0xFF).
    std::array<std::uint8_t, 128> block(int n) const;
    void setBlock(int n, const std::array<std::uint8_t, 128>& b) { blocks_[n] = b; }
    // Overrides the ring pointers (inconsistent pointers for tests).
    void setRing(std::int32_t next, std::int32_t end, std::int32_t slots);

private:
    void build();
    void putRecord(std::int32_t position, const std::array<std::uint8_t, 32>& rec);
    void handle(const Bytes& frame, SimOutput& out);
    void parse(SimOutput& out);
    void applyBaud();
    Bytes answerFor(const std::vector<std::uint8_t>& data);

    LoggerOptions o_;
    FaultInjector inj_;
    std::map<int, std::array<std::uint8_t, 128>> blocks_;
    std::vector<std::string> expected_;
    std::int32_t dataBlocks_ = 0;   // ordinary: blocks counted from 64
    std::int32_t next_ = 0, end_ = 0;
    std::int64_t clockSeconds_ = 0;
    int baud_ = 9600;       // the logger's line speed
    int lineBaud_ = 9600;   // the program's line speed
    std::optional<int> pendingBaud_;  // switched to after the request's trailing bytes
    int trailing_ = 0;
    Bytes in_;
    int answers_ = 0;

    // What the program did.
    int requests_ = 0;
    int badFrames_ = 0;
    int garbled_ = 0;
    std::vector<int> commands_;
    std::optional<std::int64_t> clockSet_;
    std::optional<std::string> dateSet_, timeSet_;
    nlohmann::json clears_ = nlohmann::json::array();
    nlohmann::json flashWrites_ = nlohmann::json::array();
    std::vector<int> baudSwitches_;
};

}  // namespace kvr::sim
