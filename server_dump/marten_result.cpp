#include "core/devtime.h"
#include "core/run_result.h"
#include "server_dump/marten_run.h"

namespace kvr {

void describeMartenRun(const MartenRun& run, LocalTime start, int status, RunResult& out) {
    out.program = "marten";
    out.port = run.Port;
    out.device = "COM" + std::to_string(run.Port);
    out.start = start;
    out.end = start;
    out.expected = run.link.NumReadings;
    out.refetched = run.server.BackFilledRecords;
    out.cleared = run.outcome.cleared;
    out.deviceClock.reset();
    out.deviceClockReadAt.reset();
    if (run.server.statusClockUnits) {
        out.deviceClock = fromDeviceSeconds(*run.server.statusClockUnits * 15);
        out.deviceClockReadAt = run.server.statusReadAt;
    }
    out.exitStatus = status;
    out.files.clear();
    for (const DataFile* f : {&run.files.dump, &run.files.data}) {
        if (!f->path().empty()) out.files.push_back(f->path().string());
    }
    out.written = run.files.data.path().empty() ? 0 : rowsAppended(run.files.data.path(), run.files.data.sizeAtOpen());
}

}  // namespace kvr
