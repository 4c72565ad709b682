// The probe server's 32-byte reading records (also what Marten reads from a
// logger's blocks): the check and the decoding of each record kind.
// Pure functions: no port, no clock, so every rule can be tested on bytes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "core/probe_reading.h"

namespace kvr {

inline constexpr std::size_t kRecordSize = 32;
using RecordBytes = std::span<const std::uint8_t, kRecordSize>;

// What a record turned out to be, and therefore what it writes.
enum class RecordClass {
    Reading,           // kinds 0 and 1: dump row and running-file row
    DumpOnly,          // kind 2: dump row only, depth values 0
    CrcError,          // marker "! n,CRC error"
    ProbeSettings,     // marker "! n,Probe settings"
    RepeaterSettings,  // marker "! n,Repeater settings"
    InvalidKind,       // marker "? n,Invalid data k"
    Skipped,           // bulk stream only: nothing is written
};

struct DecodedRecord {
    RecordClass cls = RecordClass::Skipped;
    int kind = 0;              // byte 0 shifted right by 4
    ProbeReading reading;      // probe is set for every class; the rest for readings
};

// Supply voltage for a voltage code 0..15, single precision as the table
// holds it (13..15 are the flag values 997, 998, 999).
float voltsForCode(int code);

// True when the running CRC over all 32 bytes (bytes 30-31 hold the CRC of
// bytes 0..29, low byte first) ends at 0.
bool recordCheckPasses(RecordBytes rec);

// Record read one by one (command 0x13). The check is waived for a record
// whose byte 0 is 0 and whose probe number is not 0 (older kind-0 records
// keep a counter where the check would be).
DecodedRecord decodeRecord(RecordBytes rec);

// Record taken from the bulk stream: only records that pass the check (no
// waiver), probe 0 skipped, kind 0 only when byte 0 is 0, kinds 3..15
// skipped. A failed check gives CrcError so the caller can fetch it again;
// the bulk stream itself writes no marker lines.
DecodedRecord decodeBulkRecord(RecordBytes rec);

// Receives every record a download decoded, in the order of the ring.
using RecordSink = std::function<void(const DecodedRecord&)>;

}  // namespace kvr
