// The lines a probe-server record gives in Marten's files.
#pragma once

#include "core/lowbatt.h"
#include "core/server_record.h"
#include "files/probe_files.h"

namespace kvr {

// Readings give a dump row (and for kinds 0 and 1 a running-file row) and
// report a supply voltage below 3.4 V to the low-battery list; markers give
// one dump line; Skipped writes nothing. Returns false when a write failed
// (the files remember it too: RunFiles::ok()).
bool writeRecord(const DecodedRecord& rec, RunFiles& files, LowBatteryList& low);

}  // namespace kvr
