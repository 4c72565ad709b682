// The receipt of each logger Otter handles.
#include <system_error>

#include "files/probe_files.h"
#include "logger_dump/otter_app.h"

namespace kvr {

void OtterApp::beginCollection() {
    collection_ = RunResult{};
    collection_.program = "otter";
    collection_.start = p_.clock.now();
    collection_.port = comPort_;
    collection_.device = "COM" + std::to_string(comPort_);
    collection_.expected = state_.NumReadings;
    std::error_code ec;
    const auto size = std::filesystem::file_size(DumpFolder() / kDataFileName, ec);
    dataSizeBefore_ = ec ? 0 : size;
}

void OtterApp::endCollection(bool written) {
    const auto data = DumpFolder() / kDataFileName;
    collection_.files = {data.string()};
    collection_.written = rowsAppended(data, dataSizeBefore_);
    // Called after the clearing exchange: it worked when the link held.
    collection_.cleared = written && !state_.CommsError && state_.NumReadings > 0;
    collection_.end = p_.clock.now();
    collection_.exitStatus = !written ? 3 : state_.CommsError ? 1 : 0;
    if (ScanRate() != 0 && options_.onCollection) options_.onCollection(collection_);
}

}  // namespace kvr
