// The probe data files: the running file "KVR Probe Data.csv" and the
// rotating dump files "KVR Dumps/Dump00.csv" .. "Dump99.csv".
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/platform.h"
#include "core/probe_reading.h"
#include "files/datafile.h"

namespace kvr {

enum class Program { Marten, Otter, Heron };

inline constexpr const char* kDataFileName = "KVR Probe Data.csv";
inline constexpr const char* kDumpFolderName = "KVR Dumps";

extern const char* const kDataHeader;        // without line end
extern const char* const kMartenDumpHeader;  // without line end
extern const char* const kHeronDumpHeader;   // without line end

// Rows, each ending with "\r\n".
// Dump row of 19 fields; Marten writes PwrFail with "#", Heron "0"/"1".
std::string dumpRow(const ProbeReading& r, Program p);
// Running-file row; probePattern "#00000" or "00000" (same text); Otter
// writes ", " before the voltage, the others ",".
std::string dataRow(const ProbeReading& r, Program p);

enum class Marker { CrcError, ProbeSettings, RepeaterSettings, InvalidData };
// "! " + numberField(number) + ",CRC error" etc.; InvalidData:
// "? " + numberField(number) + ",Invalid data " + numberField(kind).
std::string markerLine(Marker m, std::int64_t number, std::int64_t kind = 0);

std::filesystem::path dataFilePath(const std::filesystem::path& folder);
std::filesystem::path dumpFolderPath(const std::filesystem::path& programFolder);
std::filesystem::path dumpFilePath(const std::filesystem::path& programFolder, int n);

// Moves every dump file up by one number (Dump99 is lost, gaps move up),
// leaving no "Dump00.csv"; cost independent of the files' sizes.
// Failures of single steps are skipped; returns false if any step failed.
bool rotateDumps(const std::filesystem::path& programFolder);

// Opens the running file for appending; writes the header when it is empty.
bool openDataFile(DataFile& f, const std::filesystem::path& path);

// The two files of a Marten or Heron run.
class RunFiles {
public:
    // Creates the dump folder, rotates, creates Dump00.csv with its header
    // line(s) (Heron: "Date - dd/mm/yyyy HH:MM" first) and opens the running
    // file. Returns false when either file could not be opened.
    bool open(const std::filesystem::path& programFolder, Program p, LocalTime now);
    bool isOpen() const { return dump.isOpen() || data.isOpen(); }
    // Syncs and closes both; false when anything written since open failed.
    bool close();
    // False as soon as any write failed.
    bool ok() const { return !dump.failed() && !data.failed(); }
    // The path of the first file that failed, with the platform's error text.
    std::string failureText() const;

    DataFile dump;
    DataFile data;
};

}  // namespace kvr
