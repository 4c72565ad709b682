// The receipt of one collection: what a run reached, what it wrote and how
// it ended, as one JSON line. Unattended runs print it on standard output
// ({"result": ...}); every run appends it to "KVR Collections.log" in the
// program folder, so the folder keeps the history of every collection.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/app_options.h"
#include "core/platform.h"

namespace kvr {

struct RunResult {
    std::string program;               // "marten", "otter", "heron"
    int port = 0;                      // serial port number (0: none)
    std::string device;                // serial device or URL
    LocalTime start{};
    LocalTime end{};
    std::int64_t expected = 0;         // readings the device reported (or asked for)
    std::int64_t written = 0;          // rows that reached the running file
    std::int64_t refetched = 0;        // holes of a bulk stream fetched again
    std::optional<LocalTime> deviceClock;  // device clock read before it was set
    std::optional<LocalTime> deviceClockReadAt;  // the workstation's time then (else: end)
    bool cleared = false;              // the device forgot its readings
    std::vector<std::string> files;    // files the run wrote to
    int exitStatus = 0;
};

inline constexpr const char* kCollectionsLogName = "KVR Collections.log";

// {"result": {...}} on one line (no line end). Drift is the device clock
// minus the workstation's when it was read, in seconds.
std::string resultLine(const RunResult& r);

// Rows appended to a file since it had `sizeBefore` bytes: its line ends
// from there on (a new file's header line is not a row).
std::int64_t rowsAppended(const std::filesystem::path& file, std::uintmax_t sizeBefore);

// Appends the line to "KVR Collections.log" in `folder` and, when
// unattended, writes it to `out`. A log that cannot be written is reported
// on `err` and does not change the run's outcome.
void reportRunResult(const RunResult& r, const AppOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kvr
