// Frames and records of the logger protocol as pure functions over bytes:
// no port, no clock. The link (logger_link.h) only moves bytes and applies
// these.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/platform.h"
#include "core/probe_reading.h"

namespace kvr::logger {

inline constexpr std::uint8_t kStart = 0x5E;  // "^"
inline constexpr std::uint8_t kEnd = 0x5F;    // "_"
// Answers carry 5..133 data bytes: the length byte counts start to end marker.
inline constexpr int kMinAnswerLen = 14;
inline constexpr int kMaxAnswerLen = 142;
inline constexpr int kBufTop = 1000;  // last storable buffer position
inline constexpr int kPayloadPos = 12;  // answer position of payload offset 0
inline constexpr int kBlockAnswerLen = 142;
// A request's bytes before its data (start, three 0xFF, length, direction)
// and after it (checksum, end marker, three 0x00).
inline constexpr std::size_t kHeaderLen = 6;
inline constexpr std::size_t kTrailerLen = 6;

using Buffer = std::array<std::int16_t, kBufTop + 1>;

// Plain sum (no wrap) of positions from..to of a 1-based buffer.
std::int32_t sum(const Buffer& buf, int from, int to);

// A complete request for the given data bytes: start marker, three 0xFF,
// length, direction 0, data, checksum, end marker and three 0x00.
Bytes buildRequest(ByteSpan data);
// The data bytes of the common requests: a command code and four arguments.
Bytes command(std::uint8_t code, std::uint8_t a = 0, std::uint8_t b = 0, std::uint8_t c = 0, std::uint8_t d = 0);
// Clearing every reading of an ordinary logger.
inline Bytes clearCommand() { return command(3); }
// A complete answer (direction 1, no trailing zeros), as a logger sends it.
Bytes buildAnswer(ByteSpan data);

// Receiving side of an exchange, fed with whatever chunks arrive. Hunts for
// the start marker (not stored), stores every following byte at the next
// position, and lets a length byte of 14 or more at position 5 override the
// expected length. Bytes beyond position 1000 are dropped.
class Receiver {
public:
    Receiver(Buffer& rx, std::int16_t& rxLen, std::int16_t& answerLength)
        : rx_(rx), rxLen_(rxLen), answerLength_(answerLength) {}
    void feed(ByteSpan chunk);
    bool complete() const { return rxLen_ >= answerLength_; }

private:
    Buffer& rx_;
    std::int16_t& rxLen_;
    std::int16_t& answerLength_;
};

// Checks a received answer of rxLen positions: direction byte (only when a
// request was sent), length 14..142, end marker, checksum.
bool answerValid(const Buffer& rx, int rxLen, bool requestSent);

// --- Block and record decoding ---------------------------------------------

// One 32-byte reading record (payload offset 32 * slot) of a logger block.
struct LoggerRecord {
    bool empty = false;       // 0xFF at offset 0
    std::int32_t probe = 0;   // 24 bits
    std::uint32_t stamp = 0;  // seconds since 2000-01-01 00:00:00
    ProbeReading reading;     // probe, time, depths, Temp (R), Volts
};

// Raw 9-bit temperature of a depth and the unit temperature R, unwrapped:
// the raw range 0..51.1 degrees is shifted by 50 according to R.
float unwrapTemperature(float T, float R);
LoggerRecord decodeLoggerRecord(const std::uint8_t* rec);

// Payload (128 bytes) of a block answer held in rx.
std::array<std::uint8_t, 128> payload(const Buffer& rx);

// Ordinary loggers: a probe header block starts with 0xFF followed by a
// probe number that is not 0xFFFFFF (0 = same probe as before).
std::optional<std::int32_t> probeHeader(const std::array<std::uint8_t, 128>& pl);

struct ProbeListEntry {
    bool empty = true;
    std::int32_t probe = -1;
    std::int16_t lastSample = 0;
    float volts = 0;
};
ProbeListEntry decodeProbeListEntry(const std::uint8_t* entry);

// Status answers, read by position.
struct ServerStatus {
    float firmware = 0;
    std::uint32_t clock = 0;
    std::int32_t endRecord = 0, nextRecord = 0, recordSlots = 0, count = 0;
};
bool isServerLayout(const Buffer& rx, int rxLen);
ServerStatus decodeServerStatus(const Buffer& rx);

}  // namespace kvr::logger
