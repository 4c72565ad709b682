// One probe reading as the devices deliver it and the files show it.
#pragma once

#include <array>
#include <cstdint>

#include "core/platform.h"

namespace kvr {

struct ProbeReading {
    std::int32_t probe = 0;
    std::int32_t recNo = 0;          // record number the device stored
    LocalTime time{};
    std::array<float, 6> T{};        // degrees, depth 1..6
    std::array<float, 6> SM{};       // water %, depth 1..6
    float Temp = 0;                  // unit temperature
    float Volts = 0;
    std::uint8_t pwrFail = 0;
    std::int32_t counter = 0;        // trailing 16-bit counter
};

}  // namespace kvr
