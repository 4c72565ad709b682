#include "files/running_file.h"

#include "files/probe_files.h"

namespace kvr {

void RunningFile::noteFailure() {
    if (!failure_.empty()) return;
    failure_ = file_.path().empty() ? dataFilePath(folder_).string() : file_.path().string();
    if (!file_.errorText().empty()) failure_ += ": " + file_.errorText();
}

bool RunningFile::open() {
    failure_.clear();
    rows_ = 0;
    if (openDataFile(file_, dataFilePath(folder_))) return true;
    noteFailure();
    return false;
}

bool RunningFile::take(const ProbeReading& reading) {
    if (!file_.write(dataRow(reading, Program::Otter))) return false;
    ++rows_;
    return true;
}

bool RunningFile::close() {
    bool ok = !file_.failed();
    ok = file_.close() && ok;
    if (!ok) noteFailure();
    return ok;
}

}  // namespace kvr
