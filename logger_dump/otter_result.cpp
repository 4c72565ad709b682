// The receipt of each logger Otter handles.
#include "files/probe_files.h"
#include "logger_dump/otter_scan.h"

namespace kvr {

void OtterApp::recordCollection(const RunOutcome& out, LocalTime start) {
    collection_ = RunResult{};
    collection_.program = "otter";
    collection_.start = start;
    collection_.end = p_.clock.now();
    collection_.port = comPort_;
    collection_.device = "COM" + std::to_string(comPort_);
    collection_.expected = state_.NumReadings;
    collection_.written = out.rows;
    collection_.cleared = out.cleared;
    collection_.files = {(DumpFolder() / kDataFileName).string()};
    collection_.exitStatus = !out.writeFailure.empty() ? 3 : out.complete() ? 0 : 1;
    if (ScanRate() != 0 && options_.onCollection) options_.onCollection(collection_);
}

}  // namespace kvr
