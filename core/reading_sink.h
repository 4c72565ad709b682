// Where a download puts the readings it decoded, in download order. The
// link fetches and decodes; the sink's owner decides where the readings go.
#pragma once

#include "core/probe_reading.h"

namespace kvr {

class ReadingSink {
public:
    virtual ~ReadingSink() = default;
    // Before the first request; false: nothing is fetched.
    virtual bool open() = 0;
    // False: this reading (and so the rest) cannot be kept; the download stops.
    virtual bool take(const ProbeReading& reading) = 0;
    // After the last reading; false when anything taken was not kept.
    virtual bool close() = 0;
};

}  // namespace kvr
