// Formatting never fails for any value (NaN, infinities, denormals, the
// largest floats) or any pattern, and a formatted number reads back as the
// value it was made from, to within the rounding of its pattern.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/format.h"
#include "core/numbers.h"

using namespace kvr;

namespace {

struct Pattern {
    const char* text;
    int decimals;   // fixed or optional decimals: the reading error is half a unit of the last
};

// The patterns the data files and messages use.
constexpr Pattern kPatterns[] = {
    {"#00000", 0}, {"00000", 0}, {"#####0", 0}, {"###0.00", 2}, {"00.0", 1}, {"000.00", 2},
    {"0.0", 1},    {"###0.0", 1}, {"##0.0", 1}, {"#", 0},       {"#####", 0},
};

bool plainNumberText(const std::string& s) {
    // Optional minus, digits, optional point with digits: nothing else.
    std::size_t i = 0;
    if (i < s.size() && s[i] == '-') ++i;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (s[i] == '.') {
            if (point) return false;
            point = true;
        } else if (s[i] < '0' || s[i] > '9') {
            return false;
        }
    }
    return true;
}

void checkReadBack(double value, const std::string& out, const Pattern& p, double relSlack) {
    if (!std::isfinite(value)) {
        if (out != "NaN" && out != "Inf" && out != "-Inf") std::abort();
        return;
    }
    if (!plainNumberText(out)) std::abort();
    if (out == "-" || (out.starts_with("-") && out.find_first_not_of("-0.") == std::string::npos)) std::abort();
    if (std::fabs(value) > 1e300) return;  // the read-back error of the slack itself overflows nothing useful
    const double back = leadingNumber(out);
    const double unit = std::pow(10.0, -p.decimals);
    // Half a unit of the last position, plus the gap between the value and
    // its shortest decimal text (relative), plus the reading's own rounding.
    const double allowed = unit / 2 * (1 + 1e-9) + std::fabs(value) * relSlack;
    if (std::fabs(back - value) > allowed) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 + sizeof(double)) return 0;
    const Pattern& p = kPatterns[data[0] % (sizeof kPatterns / sizeof kPatterns[0])];
    double d;
    std::memcpy(&d, data + 1, sizeof d);
    float f;
    std::memcpy(&f, data + 1, sizeof f);

    checkReadBack(d, formatNumber(d, p.text), p, 1e-15);
    checkReadBack(f, formatFloat(f, p.text), p, 1e-6);

    // Free patterns of any text: no crash, literal text kept around the digits.
    const std::string free(reinterpret_cast<const char*>(data + 1 + sizeof d), size - 1 - sizeof d);
    if (free.size() <= 64) {
        (void)formatNumber(d, free);
        (void)formatFloat(f, free);
    }

    // Whole-number fields read back exactly (within the double's exact range).
    std::int64_t n;
    std::memcpy(&n, data + 1, sizeof n);
    n >>= 10;  // keep it within 2^53
    const std::string field = numberField(n);
    if (field.size() < 3 || field.back() != ' ' || (n >= 0 && field.front() != ' ')) std::abort();
    if (static_cast<std::int64_t>(leadingNumber(field)) != n) std::abort();

    // Dates within ten thousand years of the device epoch.
    const std::int64_t secs = static_cast<std::int64_t>(static_cast<std::int32_t>(n)) * 150;
    const std::string date = formatDate(LocalTime{std::chrono::seconds{secs}}, "yyyy/mm/dd HH:MM:SS");
    if (date.size() < 19) std::abort();
    return 0;
}
