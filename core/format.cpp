#include "core/format.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "core/devtime.h"

namespace kvr {

namespace {

struct NumberPattern {
    std::string prefix;   // literal text before the first digit position
    std::string suffix;   // literal text after the last digit position
    int minInt = 0;       // '0' positions before the point
    int minFrac = 0;      // '0' positions after the point
    int maxFrac = 0;      // all digit positions after the point
};

bool isPlaceholder(char c) { return c == '0' || c == '#'; }

NumberPattern parsePattern(std::string_view pattern) {
    NumberPattern p;
    std::size_t first = pattern.find_first_of("0#.");
    if (first == std::string_view::npos) {
        p.prefix = std::string(pattern);
        return p;
    }
    std::size_t last = pattern.find_last_of("0#.");
    p.prefix = std::string(pattern.substr(0, first));
    p.suffix = std::string(pattern.substr(last + 1));
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

// Formats the exact decimal text `digits` (plain fixed notation of the
// magnitude, as to_chars writes it) by the pattern. Rounding works on the
// decimal text, so a value is rounded as it reads, not as it is stored in
// binary: 20.15f reads "20.15" and gives "20.2" with one decimal.
std::string formatDecimalText(std::string_view digits, bool negative, const NumberPattern& p) {
    std::string intDigits, fracDigits;
    if (auto dot = digits.find('.'); dot != std::string_view::npos) {
        intDigits = std::string(digits.substr(0, dot));
        fracDigits = std::string(digits.substr(dot + 1));
    } else {
        intDigits = std::string(digits);
    }

    // Round half away from zero at maxFrac decimals. The digit right after
    // the cut decides: 5 or more means at least half, whatever follows.
    bool roundUp = false;
    if (static_cast<int>(fracDigits.size()) > p.maxFrac) {
        roundUp = fracDigits[static_cast<std::size_t>(p.maxFrac)] >= '5';
        fracDigits.resize(static_cast<std::size_t>(p.maxFrac));
    }
    fracDigits.append(static_cast<std::size_t>(p.maxFrac) - fracDigits.size(), '0');
    if (roundUp) {
        std::string all = intDigits + fracDigits;
        int i = static_cast<int>(all.size()) - 1;
        for (; i >= 0; --i) {
            if (all[static_cast<std::size_t>(i)] == '9') {
                all[static_cast<std::size_t>(i)] = '0';
            } else {
                ++all[static_cast<std::size_t>(i)];
                break;
            }
        }
        if (i < 0) all.insert(all.begin(), '1');
        intDigits = all.substr(0, all.size() - fracDigits.size());
        fracDigits = all.substr(all.size() - fracDigits.size());
    }

    // Optional ('#') decimals drop their trailing zeros.
    while (static_cast<int>(fracDigits.size()) > p.minFrac && fracDigits.back() == '0') fracDigits.pop_back();

    std::size_t nz = intDigits.find_first_not_of('0');
    intDigits = nz == std::string::npos ? std::string() : intDigits.substr(nz);
    if (static_cast<int>(intDigits.size()) < p.minInt)
        intDigits.insert(0, static_cast<std::size_t>(p.minInt) - intDigits.size(), '0');

    // A value that rounds to zero carries no minus sign.
    bool isZero = intDigits.find_first_not_of('0') == std::string::npos &&
                  fracDigits.find_first_not_of('0') == std::string::npos;

    std::string out = p.prefix;
    if (negative && !isZero) out += '-';
    out += intDigits;
    if (!fracDigits.empty()) {
        out += '.';
        out += fracDigits;
    }
    out += p.suffix;
    return out;
}

// "d.ddde+XX" -> plain decimal text without exponent ("2.015e+01" -> "20.15").
std::string plainDecimal(std::string_view sci) {
    std::size_t e = sci.find('e');
    std::string_view mant = sci.substr(0, e);
    int exp = 0;
    std::string_view expText = sci.substr(e + 1);
    if (!expText.empty() && expText.front() == '+') expText.remove_prefix(1);
    std::from_chars(expText.data(), expText.data() + expText.size(), exp);
    std::string digits;
    for (char c : mant)
        if (c != '.') digits += c;
    // The point stands after the first digit; move it by the exponent.
    int point = 1 + exp;
    if (point <= 0) return "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    if (point >= static_cast<int>(digits.size()))
        return digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
    return digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
}

template <typename T>
std::string formatValue(T value, const std::string& pattern) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Inf" : "Inf";
    NumberPattern p = parsePattern(pattern);
    bool negative = std::signbit(value);
    T magnitude = negative ? -value : value;
    // Shortest digits that read back as the same value, in scientific form
    // so large values are not padded with the binary value's exact digits
    // (1e20f is 100000000000000000000, not 100000002004087734272).
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    if (res.ec != std::errc{}) return "NaN";
    return formatDecimalText(plainDecimal(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf))), negative,
                             p);
}

std::string pad(int value, int width) {
    bool negative = value < 0;
    std::string s = std::to_string(negative ? -static_cast<long long>(value) : static_cast<long long>(value));
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width) - s.size(), '0');
    return negative ? "-" + s : s;
}

}  // namespace

std::string formatNumber(double value, const std::string& pattern) { return formatValue(value, pattern); }

std::string formatFloat(float value, const std::string& pattern) { return formatValue(value, pattern); }

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
    std::string_view p = pattern;
    std::size_t i = 0;
    while (i < p.size()) {
        std::string_view rest = p.substr(i);
        if (rest.starts_with("yyyy")) {
            out += pad(c.year, 4);
            i += 4;
        } else if (rest.starts_with("mm")) {
            out += pad(c.month, 2);
            i += 2;
        } else if (rest.starts_with("dd")) {
            out += pad(c.day, 2);
            i += 2;
        } else if (rest.starts_with("HH")) {
            out += pad(c.hour, 2);
            i += 2;
        } else if (rest.starts_with("MM")) {
            out += pad(c.minute, 2);
            i += 2;
        } else if (rest.starts_with("SS")) {
            out += pad(c.second, 2);
            i += 2;
        } else {
            out += p[i];
            ++i;
        }
    }
    return out;
}

}  // namespace kvr
