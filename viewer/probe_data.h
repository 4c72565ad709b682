// The probe readings of the data files, read back for the viewer: every
// layout the programs write (running file, either dump layout), whatever
// mixture of runs, headers and line ends a file has collected.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvr::viewer {

// Values are kept in hundredths, the finest step any layout writes: the
// reader turns text into exact integers and the export writes them back
// without a round trip through floating point.
constexpr int16_t kNoValue = std::numeric_limits<int16_t>::min();
constexpr int32_t kPowerFailVolts = 99900;  // voltage code 15: the probe lost power
constexpr int32_t kFirstStatusVolts = 99700; // codes 13..15 are status words, not voltages
constexpr int32_t kLowVolts = 340;

struct Reading {
    int64_t time = 0;      // local date-time as written, seconds since 1970-01-01 (no zone)
    int32_t probe = 0;
    int32_t volts = 0;     // hundredths of a volt, or a status code from 99700
    int16_t temp[6]{};     // hundredths of a degree; kNoValue in readings without depths
    int16_t water[6]{};    // hundredths of a percent
    int8_t powerFail = 0;

    bool hasDepths() const { return temp[0] != kNoValue; }
    bool hasVolts() const { return volts < kFirstStatusVolts; }
};

// What became of the lines of one file.
struct FileReport {
    std::filesystem::path path;
    std::string error;      // set when the file could not be opened
    std::size_t rows = 0;   // readings taken
    std::size_t notes = 0;  // header, "Date - " and marker lines: expected, not readings
    std::size_t skipped = 0;  // lines that are no whole row (cut, glued, foreign)
};

enum class LineKind { Blank, Note, Row, Skipped };

// One line without its line end. A row of the running file has 15 fields, a
// dump row 19; anything else is never guessed at.
LineKind parseLine(std::string_view line, Reading& out);

// Local date-time as "yyyy/mm/dd HH:MM:SS" -> seconds since 1970 (no zone).
bool parseDateTime(std::string_view text, int64_t& out);
int64_t civilSeconds(int y, int mo, int d, int h, int mi, int s);
struct CivilTime { int year, month, day, hour, minute, second; };
CivilTime civilFields(int64_t seconds);

struct ProbeRange {
    int32_t probe;
    std::size_t begin, end;  // into ProbeData::readings
};

struct ProbeData {
    std::vector<Reading> readings;  // sorted by probe and time, one per probe and time
    std::vector<ProbeRange> probes;
    std::vector<FileReport> files;
    std::size_t duplicates = 0;     // readings replaced by a later copy

    std::span<const Reading> of(const ProbeRange& p) const {
        return std::span<const Reading>(readings).subspan(p.begin, p.end - p.begin);
    }
    const ProbeRange* find(int32_t probe) const;
};

// The running file of a program folder, and with withDumps its dump files,
// oldest first, so that the newest copy of a reading is read last.
std::vector<std::filesystem::path> folderFiles(const std::filesystem::path& folder, bool withDumps);

// The lines of a file that begin at offsets in [begin, end): reading a file
// as [0, m) and [m, size) gives every line once, whatever m.
void readFileRange(const std::filesystem::path& path, std::uint64_t begin, std::uint64_t end,
                   std::vector<Reading>& out, FileReport& rep);

// Reads the files in order; a reading read again later replaces the earlier one.
ProbeData loadProbeData(const std::vector<std::filesystem::path>& files);

}  // namespace kvr::viewer
