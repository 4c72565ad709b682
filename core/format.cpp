#include "core/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "core/devtime.h"

namespace kvr {

namespace {

struct NumberPattern {
    std::string_view prefix;  // literal text before the first digit position
    std::string_view suffix;  // literal text after the last digit position
    int minInt = 0;           // '0' positions before the point
    int minFrac = 0;          // '0' positions after the point
    int maxFrac = 0;          // all digit positions after the point
};

bool isPlaceholder(char c) { return c == '0' || c == '#'; }

NumberPattern parsePattern(std::string_view pattern) {
    NumberPattern p;
    std::size_t first = pattern.find_first_of("0#.");
    if (first == std::string_view::npos) {
        p.prefix = pattern;
        return p;
    }
    std::size_t last = pattern.find_last_of("0#.");
    p.prefix = pattern.substr(0, first);
    p.suffix = pattern.substr(last + 1);
    bool afterPoint = false;
    for (std::size_t i = first; i <= last; ++i) {
        char c = pattern[i];
        if (c == '.') {
            afterPoint = true;
        } else if (isPlaceholder(c)) {
            if (afterPoint) {
                ++p.maxFrac;
                if (c == '0') p.minFrac = p.maxFrac;  // a '0' fixes every position before it too
            } else if (c == '0') {
                ++p.minInt;
            }
        }
    }
    return p;
}

// The few patterns in use, parsed once per thread: rows ask for the same
// ones millions of times. The views of a cached pattern point into its own
// copy of the text.
NumberPattern patternFor(std::string_view pattern) {
    struct Entry {
        char text[16];
        std::size_t size = sizeof text + 1;
        NumberPattern parsed;
    };
    thread_local Entry cache[8];
    thread_local unsigned next = 0;
    if (pattern.size() > sizeof cache[0].text) return parsePattern(pattern);
    for (const Entry& e : cache)
        if (e.size == pattern.size() && std::memcmp(e.text, pattern.data(), e.size) == 0) return e.parsed;
    Entry& e = cache[next++ % 8];
    std::memcpy(e.text, pattern.data(), pattern.size());
    e.size = pattern.size();
    e.parsed = parsePattern(std::string_view(e.text, e.size));
    return e.parsed;
}

// Writes the value given as its shortest significant digits (no point) and
// decimal exponent (value = 0.d1d2d3... x 10^point) by the pattern. Rounding
// works on the decimal text, so a value is rounded as it reads, not as it is
// stored in binary: 20.15f reads "20.15" and gives "20.2" with one decimal.
// Rows are made of many numbers: everything happens in one stack buffer.
void appendDecimal(std::string& out, std::string_view digits, int point, bool negative, const NumberPattern& p) {
    // The integer places, then exactly maxFrac decimals, after one spare
    // place in front for a carry out of the rounding.
    const int intLen = std::max(point, 0);
    const int len = intLen + p.maxFrac;
    char stack[512];
    std::string heap;  // only for a double near its limits
    char* buf = stack;
    if (len + 1 > static_cast<int>(sizeof stack)) {
        heap.assign(static_cast<std::size_t>(len) + 1, '0');
        buf = heap.data();
    }
    std::fill(buf, buf + 1 + len, '0');
    char* all = buf + 1;
    // Digit i stands at index i, after the zeros that open a value below 0.1.
    const int offset = point < 0 ? -point : 0;
    bool roundUp = false;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const int at = offset + static_cast<int>(i);
        if (at >= len) {
            // The digit right after the cut decides: 5 or more means at
            // least half, whatever follows.
            roundUp = at == len && digits[i] >= '5';
            break;
        }
        all[at] = digits[i];
    }
    char* begin = all;
    if (roundUp) {
        int i = len - 1;
        for (; i >= 0 && all[i] == '9'; --i) all[i] = '0';
        if (i >= 0) {
            ++all[i];
        } else {
            buf[0] = '1';
            begin = buf;
        }
    }
    char* fracBegin = all + intLen;
    char* fracEnd = fracBegin + p.maxFrac;
    // Optional ('#') decimals drop their trailing zeros.
    while (fracEnd - fracBegin > p.minFrac && fracEnd[-1] == '0') --fracEnd;
    char* intBegin = begin;
    while (intBegin < fracBegin && *intBegin == '0') ++intBegin;
    const int intDigits = static_cast<int>(fracBegin - intBegin);

    // A value that rounds to zero carries no minus sign.
    const bool isZero = std::all_of(intBegin, fracEnd, [](char c) { return c == '0'; });

    out.append(p.prefix);
    if (negative && !isZero) out += '-';
    if (intDigits < p.minInt) out.append(static_cast<std::size_t>(p.minInt - intDigits), '0');
    out.append(intBegin, fracBegin);
    if (fracEnd > fracBegin) {
        out += '.';
        out.append(fracBegin, fracEnd);
    }
    out.append(p.suffix);
}

template <typename T>
void appendValue(std::string& out, T value, std::string_view pattern) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-Inf" : "Inf";
        return;
    }
    const NumberPattern p = patternFor(pattern);
    bool negative = std::signbit(value);
    T magnitude = negative ? -value : value;

    // Fast path: scaled to whole units of the last decimal, a value that is
    // clearly not near a half rounds the same whether it is taken exactly or
    // as its shortest text (the two lie within one unit in the last place
    // of the type). Only a near tie, such as 20.15f, needs the text.
    if (p.maxFrac <= 6) {
        static constexpr double kScale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6};
        const double x = static_cast<double>(magnitude) * kScale[p.maxFrac];
        if (x < 1e15) {
            constexpr double kUlps = std::is_same_v<T, float> ? 0x1p-21 : 0x1p-49;
            const double whole = std::floor(x);
            const double frac = x - whole;
            if (std::fabs(frac - 0.5) > x * kUlps + 1e-12) {
                char digits[24];
                auto units = static_cast<long long>(frac > 0.5 ? whole + 1 : whole);
                auto res = std::to_chars(digits, digits + sizeof digits, units);
                const auto nd = static_cast<int>(res.ptr - digits);
                appendDecimal(out, std::string_view(digits, static_cast<std::size_t>(nd)), nd - p.maxFrac,
                              negative, p);
                return;
            }
        }
    }

    // Shortest digits that read back as the same value, in scientific form
    // so large values are not padded with the binary value's exact digits
    // (1e20f is 100000000000000000000, not 100000002004087734272).
    char sci[64];
    auto res = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
    if (res.ec != std::errc{}) {
        out += "NaN";
        return;
    }
    // "d.ddde+XX": the digits without the point, and where the point goes.
    std::string_view text(sci, static_cast<std::size_t>(res.ptr - sci));
    std::size_t e = text.find('e');
    char digits[64];
    std::size_t nd = 0;
    for (char c : text.substr(0, e))
        if (c != '.') digits[nd++] = c;
    int exp = 0;
    std::string_view expText = text.substr(e + 1);
    if (!expText.empty() && expText.front() == '+') expText.remove_prefix(1);
    std::from_chars(expText.data(), expText.data() + expText.size(), exp);
    appendDecimal(out, std::string_view(digits, nd), 1 + exp, negative, p);
}

void appendPadded(std::string& out, int value, int width) {
    if (value < 0) out += '-';
    char digits[16];
    auto res = std::to_chars(digits, digits + sizeof digits, value < 0 ? -static_cast<long long>(value)
                                                                       : static_cast<long long>(value));
    const int n = static_cast<int>(res.ptr - digits);
    if (n < width) out.append(static_cast<std::size_t>(width - n), '0');
    out.append(digits, res.ptr);
}

}  // namespace

void appendNumber(std::string& out, double value, std::string_view pattern) { appendValue(out, value, pattern); }

void appendFloat(std::string& out, float value, std::string_view pattern) { appendValue(out, value, pattern); }

std::string formatNumber(double value, const std::string& pattern) {
    std::string out;
    appendValue(out, value, pattern);
    return out;
}

std::string formatFloat(float value, const std::string& pattern) {
    std::string out;
    appendValue(out, value, pattern);
    return out;
}

std::string numberField(std::int64_t value) {
    // The space in front doubles as the place of a minus sign.
    std::string out;
    if (value >= 0) out.push_back(' ');
    out += std::to_string(value);
    out.push_back(' ');
    return out;
}

std::string formatDate(LocalTime t, const std::string& pattern) {
    CivilTime c = toCivil(t);
    std::string out;
    out.reserve(pattern.size() + 4);
    std::string_view p = pattern;
    std::size_t i = 0;
    while (i < p.size()) {
        std::string_view rest = p.substr(i);
        if (rest.starts_with("yyyy")) {
            appendPadded(out, c.year, 4);
            i += 4;
        } else if (rest.starts_with("mm")) {
            appendPadded(out, c.month, 2);
            i += 2;
        } else if (rest.starts_with("dd")) {
            appendPadded(out, c.day, 2);
            i += 2;
        } else if (rest.starts_with("HH")) {
            appendPadded(out, c.hour, 2);
            i += 2;
        } else if (rest.starts_with("MM")) {
            appendPadded(out, c.minute, 2);
            i += 2;
        } else if (rest.starts_with("SS")) {
            appendPadded(out, c.second, 2);
            i += 2;
        } else {
            out += p[i];
            ++i;
        }
    }
    return out;
}

}  // namespace kvr
