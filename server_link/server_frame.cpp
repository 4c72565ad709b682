#include "server_link/server_frame.h"

#include "core/crc16.h"

namespace kvr::server {

namespace {

std::uint8_t lo(std::int64_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t hi(std::int64_t v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }

}  // namespace

Bytes buildRequest(ByteSpan command) {
    Bytes f;
    f.reserve(command.size() + 7);
    f.push_back(0x5E);
    f.push_back(0xFF);
    f.push_back(0xFF);
    f.push_back(lo(static_cast<std::int64_t>(command.size()) + 1));
    f.push_back(0x00);
    f.insert(f.end(), command.begin(), command.end());
    const std::uint16_t c = crc16(ByteSpan(f).subspan(1));
    // Low byte first, as the server reads it.
    f.push_back(lo(c));
    f.push_back(hi(c));
    return f;
}

Bytes statusCommand() { return {0x10, 0x00}; }

Bytes readingCommand(std::int32_t recNo) { return {0x13, hi(recNo), lo(recNo)}; }

Bytes dumpCommand(std::int32_t units, std::int32_t nextRecord) {
    return {0x04, lo(units >> 24), lo(units >> 16), lo(units >> 8), lo(units), hi(nextRecord), lo(nextRecord), 0x00};
}

Bytes setClockCommand(std::uint32_t units) {
    return {10, lo(units >> 24), lo(units >> 16), lo(units >> 8), lo(units)};
}

Bytes clearCommand() { return {9}; }

}  // namespace kvr::server
