// A simulated probe server: a ring of 32-byte records behind the framed,
// CRC-checked command protocol (status 0x10, record read 0x13, bulk 0x04,
// set clock 0x0A, clear 0x09), with the common fault options.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/faults.h"
#include "sim/devices/readings.h"
#include "sim/devices/sim_device.h"

namespace kvr::sim {

struct ProbeServerOptions {
    int slots = 2000;                  // RecordSlots
    int next = 0;                      // NextRecord
    std::optional<int> end;            // EndRecord (default: next + count, wrapped)
    int count = 50;                    // new records when --end is not given
    std::optional<int> numReadings;    // reported NumReadings (default: the ring distance)
    std::optional<int> reportEnd;      // EndRecord the status reports instead of the real one (a broken ring)
    RecordMix mix = RecordMix::onlyKind1();
    int probes = 6;
    LocalTime now{};                   // readings end before this; clock starts here
    std::optional<std::int32_t> clockUnits;  // reported clock, 15-s units
    std::uint16_t address = 0x0001;    // answer address bytes
    int frameGapMs = 0;                // pause between bulk frames
    FaultOptions faults;
};

// Parses the kind's options (and the fault options) from args; throws
// std::invalid_argument on anything it does not know.
ProbeServerOptions parseProbeServerOptions(std::vector<std::string> args);
std::string probeServerHelp();

class ProbeServer : public SimDevice {
public:
    explicit ProbeServer(ProbeServerOptions options);

    void receive(ByteSpan data, SimOutput& out) override;
    void lineSettingsChanged(const std::string& settings) override;
    nlohmann::json state() const override;

    // Frame of an answer: 5E, address, L, 01, command, data, CRC low, high.
    Bytes answerFrame(std::uint8_t command, const Bytes& data) const;

    // The ring as it stands (tests compute the rows they expect from it).
    const std::vector<Record>& ring() const { return ring_; }
    const std::vector<GeneratedRecord>& newRecords() const { return fresh_; }
    int nextRecord() const { return next_; }
    int endRecord() const { return end_; }
    int numReadings() const { return num_; }

private:
    void handle(const Bytes& frame, SimOutput& out);
    void answer(std::uint8_t command, const Bytes& data, const FaultInjector::Plan& plan, SimOutput& out);
    void streamBulk(int start, SimOutput& out);

    ProbeServerOptions o_;
    FaultInjector faults_;
    std::vector<Record> ring_;
    std::vector<GeneratedRecord> fresh_;  // records between NextRecord and EndRecord
    int next_ = 0;
    int end_ = 0;
    int num_ = 0;
    Bytes in_;

    // What the program did.
    std::int32_t clockBase_ = 0;           // units at clockSetAtMono_
    std::optional<std::int32_t> clockSet_; // last value set with 0x0A
    std::optional<std::int32_t> bulkTime_;
    int clearCount_ = 0;
    std::map<std::string, int> counts_;    // per command, plus "ignored"
    std::map<int, int> sentPositions_;     // ring position -> times sent
    std::vector<int> bulkStarts_;
    std::vector<std::string> lineChanges_;
};

}  // namespace kvr::sim
