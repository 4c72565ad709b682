// Device time: counts from 2000-01-01 00:00:00 of the workstation's local time.
#pragma once

#include <cstdint>

#include "core/platform.h"

namespace kvr {

LocalTime deviceEpoch();                              // 2000-01-01 00:00:00
LocalTime fromDeviceSeconds(std::int64_t seconds);
LocalTime fromDeviceMinutes(std::int64_t minutes);
std::int64_t toDeviceSeconds(LocalTime t);            // whole seconds
// 15-second units of the probe server's clock commands, rounded half to even.
std::int32_t toServerUnits(LocalTime t);
LocalTime makeLocal(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

struct CivilTime {
    int year, month, day, hour, minute, second;
};
CivilTime toCivil(LocalTime t);

}  // namespace kvr
