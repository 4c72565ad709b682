// The CRC-16 the probe server's frames and records carry: reflected
// polynomial 0xA001, start 0xFFFF, no final inversion. Sent low byte first,
// so folding a frame together with its check ends at 0.
#pragma once

#include <cstdint>

namespace kvr {

constexpr std::uint16_t crc16Update(std::uint16_t crc, std::uint8_t byte) {
    crc = static_cast<std::uint16_t>(crc ^ byte);
    for (int i = 0; i < 8; ++i) crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    return crc;
}

template <class Range>
constexpr std::uint16_t crc16(const Range& bytes, std::uint16_t crc = 0xFFFF) {
    for (auto b : bytes) crc = crc16Update(crc, static_cast<std::uint8_t>(b));
    return crc;
}

}  // namespace kvr
