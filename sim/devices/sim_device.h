// A simulated device: bytes from the program in, timed chunks of bytes out.
// The same objects run in-process behind the fake port (unit tests) and
// behind a pseudo-terminal in the kvr-sim program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/platform.h"

namespace kvr::sim {

struct SimChunk {
    std::int64_t delayMs = 0;  // after the previous chunk (or after the request)
    Bytes bytes;
};

class SimOutput {
public:
    void send(Bytes bytes, std::int64_t delayMs = 0) { chunks.push_back({delayMs, std::move(bytes)}); }
    std::vector<SimChunk> chunks;
};

class SimDevice {
public:
    virtual ~SimDevice() = default;
    // Bytes written by the program, in whatever pieces they arrive.
    virtual void receive(ByteSpan data, SimOutput& out) = 0;
    // The program changed the line settings ("9600,n,8,1", "56000,n,8,1").
    virtual void lineSettingsChanged(const std::string& settings) { (void)settings; }
    // What the program did to the device, for tests to check.
    virtual nlohmann::json state() const = 0;
};

}  // namespace kvr::sim
