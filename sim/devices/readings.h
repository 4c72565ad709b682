// Believable probe readings for the simulated devices, and the encoders that
// store them in the devices' 32-byte record layouts.
//
// The generator is a pure function of its seed and "now": the same seed
// gives the same readings, so a test can rebuild what a simulator holds.
// Encoders round values to the steps of their layout (kind 0: 0.1 degree,
// kind 1: 1/16 degree; water always 1/100 %), so a decoded value differs
// from the generated one by at most half a step.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/platform.h"
#include "core/probe_reading.h"

namespace kvr::sim {

using Record = std::array<std::uint8_t, 32>;

// Device time helpers (2000-01-01 00:00:00 local time is 0).
std::int64_t deviceSeconds(LocalTime t);
LocalTime fromDeviceSecondsSim(std::int64_t s);
// "yyyy-mm-dd HH:MM:SS"
std::string localText(LocalTime t);
// The workstation's present local time, whole seconds.
LocalTime localNow();
// Parses "yyyy-mm-dd HH:MM[:SS]" (or with "T"); throws std::invalid_argument.
LocalTime parseLocalText(const std::string& text);

struct ProbeProfile {
    std::int32_t probe = 0;
    int intervalMinutes = 15;           // 15 or 60
    std::array<double, 6> meanT{};      // mean soil temperature per depth
    std::array<double, 6> swingT{};     // half the daily swing per depth
    std::array<double, 6> baseSM{};     // water % the soil drains towards
    std::array<double, 6> jumpSM{};     // rise at an irrigation
    double irrigationHours = 72;        // time between irrigations
    double irrigationPhase = 0;         // hours
    double voltsNow = 3.6;              // supply voltage at "now"
    double sagPerDay = 0.002;           // older readings had more
    bool lowBattery = false;            // below 3.4 V at "now"
    bool deadBattery = false;           // below 2.2 V at "now"
};

class ReadingGenerator {
public:
    // probeCount >= 1. Probe numbers depend on the seed; with 4 or more
    // probes at least one has a battery below 3.4 V and one below 2.2 V.
    ReadingGenerator(std::uint64_t seed, LocalTime now, int probeCount = 6);

    const std::vector<ProbeProfile>& probes() const { return probes_; }
    LocalTime now() const { return now_; }

    // The newest `count` readings of all probes taken before now, on each
    // probe's 15- or 60-minute grid, oldest first.
    std::vector<ProbeReading> generate(int count) const;
    // The reading a probe takes at time t (t need not be on its grid).
    ProbeReading readingAt(const ProbeProfile& p, LocalTime t) const;

private:
    double jitter(std::int64_t a, std::int64_t b, int c) const;  // -1..1, deterministic
    std::uint64_t seed_;
    LocalTime now_;
    std::vector<ProbeProfile> probes_;
};

// --- CRC-16 (reflected 0xA001, start 0xFFFF, no final inversion) ---
std::uint16_t crc16(ByteSpan data, std::uint16_t crc = 0xFFFF);

// --- probe-server records ---

// Voltage code 0..15 whose table value is nearest to volts (15 when pwrFail).
int voltCodeFor(float volts, bool pwrFail);
// Writes the CRC of bytes 0..29 into bytes 30-31, low byte first.
void sealRecord(Record& r);

// Kind 0: seconds stamp, 0.1 degree steps. Its trailing counter shares
// bytes 30-31 with the check; sealed records carry the check there, so the
// decoded counter is the check value (unsealed: the reading's counter, which
// a record read one by one accepts because of its waiver).
Record encodeKind0(const ProbeReading& r, bool sealed = true);
// Kind 1: minutes stamp, 1/16 degree steps, voltage code. Sensors 5 and 6
// share one range bit; sensor 6 follows sensor 5's range.
Record encodeKind1(const ProbeReading& r);
// Kind 2: minutes stamp, record number, counter and voltage code only.
Record encodeKind2(const ProbeReading& r);
Record encodeProbeSettings(std::int32_t probe, std::uint32_t salt);
Record encodeRepeaterSettings(std::int32_t probe, std::uint32_t salt);
// kind 3 or 6..15 with a valid check.
Record encodeUnknownKind(int kind, std::int32_t probe, std::uint32_t salt);
// A record whose check fails (and cannot be waived).
Record withBadCheck(Record r);
Record zeroRecord();
// Erased memory: what a device returns for a position it does not hold.
Record blankRecord();

// What a reading looks like after a round trip through a layout.
ProbeReading quantizeKind0(const ProbeReading& r);
ProbeReading quantizeKind1(const ProbeReading& r);

// --- logger records ---
// 24-bit probe at 0..2, seconds stamp at 5..8, unit temperature 9..10,
// voltage 11, depth bytes from 12. Temperatures outside 0..51.1 are stored
// wrapped by 50 degrees (the reader unwraps them using the unit temperature).
Record encodeLoggerRecord(const ProbeReading& r);
// An empty logger slot (0xFF at offset 0).
Record emptyLoggerRecord();

// --- mixes of record kinds ---

enum class RecordSort { Kind0, Kind1, Kind2, ProbeSettings, RepeaterSettings, Unknown, BadCheck, Zero };
inline constexpr int kRecordSorts = 8;
const char* recordSortName(RecordSort s);

struct RecordMix {
    std::array<double, kRecordSorts> weight{};
    // "k1=0.8,k0=0.1,k2=0.05,settings=0.02,repeater=0.01,unknown=0.01,badcheck=0.005,zero=0.005";
    // names: k0 k1 k2 settings repeater unknown badcheck zero. Throws std::invalid_argument.
    static RecordMix parse(const std::string& text);
    static RecordMix onlyKind1();
    static RecordMix realistic();
    RecordSort pick(std::mt19937_64& rng) const;
};

struct GeneratedRecord {
    RecordSort sort = RecordSort::Kind1;
    ProbeReading reading;  // the reading it was made from (for reading kinds)
    Record bytes{};
};

// `count` records made from the generator's newest readings, oldest first.
std::vector<GeneratedRecord> makeRecords(const ReadingGenerator& gen, const RecordMix& mix, int count,
                                         std::mt19937_64& rng);

std::string hexOf(const Record& r);  // "1A007B..." upper case, no spaces

}  // namespace kvr::sim
