// State of a serial link, written by one exchange and read by the procedure
// that asked for it. In Marten one set serves the probe-server and the
// logger link, so it is owned by the run and shared by reference.
#pragma once

#include <array>
#include <cstdint>

namespace kvr {

// Positions 0..1000; position 0 is never used. Each holds one byte value.
using LinkBuffer = std::array<std::int16_t, 1001>;

// The byte at a buffer position, and the big-endian word starting there.
inline std::uint8_t bufByte(const LinkBuffer& b, int pos) {
    return static_cast<std::uint8_t>(b[static_cast<std::size_t>(pos)] & 0xFF);
}
inline std::int32_t bufWord(const LinkBuffer& b, int pos) { return bufByte(b, pos) * 256 + bufByte(b, pos + 1); }

struct LinkState {
    LinkBuffer TxBuf{};
    LinkBuffer RxBuf{};
    std::int16_t TxLen = 0;
    std::int16_t RxLen = 0;
    bool CommsError = true;

    // Ring of stored records, set by the status requests.
    std::int32_t NumReadings = 0;
    std::int32_t NextRecord = 0;
    std::int32_t EndRecord = 0;
    std::int32_t RecordSlots = 0;
};

}  // namespace kvr
