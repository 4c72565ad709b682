// The probe list file "Probes.cfg": lines of comma-separated fields, each a
// lenient number; every number above 0 is a probe, in file order. The
// editor writes one number per line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kvr::web {

class LineReader;

inline constexpr const char* kProbeListName = "Probes.cfg";
inline constexpr std::size_t kMaxProbes = 1001;

std::filesystem::path probeListPath(const std::filesystem::path& folder);

// Plain decimal text of a number as the editor shows it: 123, 12.5.
std::string plainNumberText(double value);

// Editor entries: the text of every number above 0 ("0123" -> "123",
// "12.5" stays "12.5"). A missing file gives an empty list.
std::vector<std::string> readProbeEntries(const std::filesystem::path& file);
std::vector<std::string> readProbeEntries(LineReader& in);

// Probe numbers for a download: numbers above 0 rounded (12.5 -> 12,
// halves to even), at most kMaxProbes of them.
std::vector<std::int32_t> readProbeNumbers(const std::filesystem::path& file);
std::vector<std::int32_t> readProbeNumbers(LineReader& in);

// An answer of the "Probe Number" box as an entry, when it holds a number above 0.
std::optional<std::string> probeEntryFromAnswer(const std::string& answer);

// Replaces the file with one entry per line (CR LF). False on a write failure.
bool writeProbeEntries(const std::filesystem::path& file, const std::vector<std::string>& entries,
                       std::string& error);

}  // namespace kvr::web
