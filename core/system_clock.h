// The real clock: monotonic milliseconds for every wait and time limit,
// local wall time for what the devices and files are told.
#pragma once

#include "core/platform.h"

namespace kvr {

class SystemClock : public Clock {
public:
    // std::chrono::steady_clock, in milliseconds. Never jumps with the wall clock.
    std::int64_t monotonicMs() override;
    // Local date and time of this workstation (its time zone and daylight
    // saving applied), truncated to whole seconds.
    LocalTime now() override;
    // Sleeps towards the deadline, at most 100 ms per call, so a caller's
    // wait loop gets to yield to its window at least ten times a second.
    // Returns at once when the deadline already passed.
    void sleepUntil(std::int64_t deadlineMs) override;

    static constexpr std::int64_t kMaxSleepMs = 100;
};

}  // namespace kvr
