// Otter's configuration file "Otter.cfg": a plain text file beside the
// program, read afresh at every scan so the user can edit it while the
// program stays resident.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kvr {

inline constexpr const char* kOtterCfgName = "Otter.cfg";

// The file as a fresh installation gets it; each line explains its setting.
extern const char* const kOtterCfgDefaultLines[7];

// What one reading of the file gives. Fields that no line sets keep the
// values the caller passed in (ScanRate and DumpFolder last between scans).
struct OtterConfig {
    int firstPort = 0;          // 0: no "C" line, the scan ends at once
    int secondPort = 0;
    int comPort = 0;            // serial port number after the file (0: unchanged)
    std::int16_t HighSpeed = 0;
    std::int16_t ScanRate = 0;
    std::filesystem::path DumpFolder;  // always ends with a separator once set
    std::string PinCode;
    std::string TelNumber;
    bool setSettings9600 = false;  // a "B" line resets the line to 9600 baud
    // Reads a port line's value; a device path is given a port number of its
    // own. Unset: the value's leading number.
    std::function<std::int32_t(const std::string&)> portNumber;
};

enum class CfgStatus {
    Ok,
    BadLine,       // a key line without "=": errorText names it
    BadFolder,     // the dump folder does not exist: errorText is the folder
};

struct CfgResult {
    CfgStatus status = CfgStatus::Ok;
    std::string errorText;
};

// Splits on line feeds; a carriage return before the feed is dropped.
std::vector<std::string> splitCfgLines(std::string_view text);

// Text between the first "=" and a second "=" (or the line's end).
// Returns false when the line holds no "=".
bool cfgValue(std::string_view line, std::string& value);

// Trims spaces only (tabs are part of the value, as in the original files).
std::string trimSpaces(std::string_view s);

// Applies the lines to cfg. programFolder stands in for an empty dump folder.
// Stops at the first bad line or a missing folder.
CfgResult applyCfgLines(const std::vector<std::string>& lines, const std::filesystem::path& programFolder,
                        OtterConfig& cfg);

// A folder text ending with exactly one native separator.
std::filesystem::path withTrailingSeparator(const std::filesystem::path& folder);

}  // namespace kvr
