// Requests to the probe server as pure functions over bytes: the link only
// sends what these build and checks what comes back.
#pragma once

#include <cstdint>

#include "core/platform.h"

namespace kvr::server {

// A request frame for the given command bytes: start 0x5E, address 0xFF
// 0xFF (any server), length (command bytes + 1), direction 0x00, the
// command and its CRC-16 over everything after the start byte, low byte
// first. The wake-up byte that precedes it on the line is not included.
Bytes buildRequest(ByteSpan command);

// Command bytes of the requests the programs send.
Bytes statusCommand();
Bytes readingCommand(std::int32_t recNo);
// Bulk stream of the records from nextRecord on; units is the server's clock.
Bytes dumpCommand(std::int32_t units, std::int32_t nextRecord);
Bytes setClockCommand(std::uint32_t units);
Bytes clearCommand();

}  // namespace kvr::server
