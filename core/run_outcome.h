// What one download run left behind, as a value: each program turns it into
// its closing boxes and its exit status in one function.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kvr {

// The ring pointers a device gave that never met, as it gave them.
struct RingInconsistency {
    std::int32_t nextRecord = 0;
    std::int32_t endRecord = 0;
    std::int32_t recordSlots = 0;
};

struct RunOutcome {
    std::string linkLost;      // the step at which the link was lost; empty: never
    std::string writeFailure;  // the file that failed and why; empty: every row was written
    std::optional<RingInconsistency> ring;
    std::int64_t rows = 0;     // readings and marker lines written
    bool clockSet = false;
    bool cleared = false;
    bool callLeftUp = false;   // a modem call could not be ended

    // Nothing went wrong: the device may forget its readings.
    bool complete() const { return linkLost.empty() && writeFailure.empty() && !ring; }
};

}  // namespace kvr
