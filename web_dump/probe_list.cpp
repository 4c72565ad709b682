#include "web_dump/probe_list.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/numbers.h"
#include "files/datafile.h"
#include "web_dump/text_lines.h"

namespace kvr::web {

std::filesystem::path probeListPath(const std::filesystem::path& folder) { return folder / kProbeListName; }

std::string plainNumberText(double value) {
    if (std::nearbyint(value) == value && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    // Up to 15 significant digits, like the number's own text, without trailing zeros.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    return buf;
}

namespace {

// Calls fn(number) for every field of the file whose number is above 0.
template <class Fn>
void forEachPositiveField(LineReader& in, Fn fn) {
    std::string line;
    while (in.next(line)) {
        std::size_t start = 0;
        for (;;) {
            std::size_t comma = line.find(',', start);
            double v = leadingNumber(std::string_view(line).substr(
                start, comma == std::string::npos ? std::string::npos : comma - start));
            if (v > 0 && !fn(v)) return;
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
}

// A hand-written list may pad its lines with blanks; a generous limit still
// keeps a runaway file from filling the memory.
constexpr std::size_t kMaxListLine = 16 << 20;

}  // namespace

std::vector<std::string> readProbeEntries(const std::filesystem::path& file) {
    LineReader in(file, kMaxListLine);
    return readProbeEntries(in);
}

std::vector<std::string> readProbeEntries(LineReader& in) {
    std::vector<std::string> out;
    forEachPositiveField(in, [&](double v) {
        out.push_back(plainNumberText(v));
        return true;
    });
    return out;
}

std::vector<std::int32_t> readProbeNumbers(const std::filesystem::path& file) {
    LineReader in(file, kMaxListLine);
    return readProbeNumbers(in);
}

std::vector<std::int32_t> readProbeNumbers(LineReader& in) {
    std::vector<std::int32_t> out;
    forEachPositiveField(in, [&](double v) {
        if (out.size() >= kMaxProbes) return false;
        auto n = std::min<std::int64_t>(roundHalfEven(v), std::numeric_limits<std::int32_t>::max());
        out.push_back(static_cast<std::int32_t>(n));
        return true;
    });
    return out;
}

std::optional<std::string> probeEntryFromAnswer(const std::string& answer) {
    double v = leadingNumber(answer);
    if (v > 0) return plainNumberText(v);
    return std::nullopt;
}

bool writeProbeEntries(const std::filesystem::path& file, const std::vector<std::string>& entries,
                       std::string& error) {
    DataFile f;
    if (!f.open(file, DataFile::Mode::Truncate)) {
        error = f.errorText();
        return false;
    }
    for (const auto& e : entries) f.write(e + "\r\n");
    bool ok = f.close();
    if (!ok) error = f.errorText();
    return ok;
}

}  // namespace kvr::web
