// Ending Marten from deep inside the run (an empty port answer, a refused
// PIN, a failed dial) without exit(): the run catches this at its top,
// releases the port and the files and returns the status.
#pragma once

namespace kvr {

struct RunEnd {
    int status;
};

}  // namespace kvr
