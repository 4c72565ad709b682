#include "core/numbers.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace kvr {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

double leadingNumber(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && isBlank(text[i])) ++i;

    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Collect the longest prefix that reads as a decimal number. We scan it
    // ourselves rather than let a library parser decide, so "inf", "nan",
    // hexadecimal forms and locale decimal commas never count as numbers.
    const std::size_t start = i;
    std::size_t digits = 0;
    while (i < n && isDigit(text[i])) ++i, ++digits;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && isDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return 0.0;
    std::size_t end = i;
    // An exponent counts only when at least one digit follows it: "1e" and
    // "1e+" read as 1.
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        std::size_t expStart = j;
        while (j < n && isDigit(text[j])) ++j;
        if (j > expStart) end = j;
    }

    std::string body(text.substr(start, end - start));
    // The sign was taken off above: from_chars refuses a leading '+'.
    double value = 0.0;
    auto res = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        // Too large saturates, too small is zero: decide from the exponent
        // sign, as from_chars leaves the value untouched.
        auto epos = body.find_first_of("eE");
        bool tiny = epos != std::string::npos && epos + 1 < body.size() && body[epos + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::max();
    } else if (res.ec != std::errc{}) {
        return 0.0;
    }
    return negative ? -value : value;
}

std::int64_t roundHalfEven(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit) return std::numeric_limits<std::int64_t>::max();
    if (value < -limit) return std::numeric_limits<std::int64_t>::min();
    double fl = std::floor(value);
    double diff = value - fl;
    double r = fl;
    if (diff > 0.5) {
        r = fl + 1.0;
    } else if (diff == 0.5) {
        // Halfway: take the even neighbour.
        r = std::fmod(fl, 2.0) == 0.0 ? fl : fl + 1.0;
    }
    if (r >= limit) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(r);
}

std::int32_t leadingInt(std::string_view text) {
    std::int64_t v = roundHalfEven(leadingNumber(text));
    if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

}  // namespace kvr
