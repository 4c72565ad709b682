#include "web_dump/response_line.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>

#include "core/devtime.h"
#include "core/numbers.h"

namespace kvr::web {

namespace {

// Characters [first, first+count) of text, 1-based like the service's
// layout; shorter texts give what is there.
std::string_view mid(std::string_view text, std::size_t first, std::size_t count) {
    if (first - 1 >= text.size()) return {};
    return text.substr(first - 1, count);
}

std::int64_t int16Field(std::string_view text) {
    auto v = roundHalfEven(leadingNumber(text));
    return std::clamp<std::int64_t>(v, std::numeric_limits<std::int16_t>::min(),
                                    std::numeric_limits<std::int16_t>::max());
}

float floatField(std::string_view text) {
    double v = leadingNumber(text);
    // Out-of-range values would be undefined as a float; keep the sign at the limit.
    constexpr double kMax = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(v, -kMax, kMax));
}

bool isPowerFail(std::string_view text) {
    std::string up(text);
    for (char& c : up)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return up == "FALSE)";
}

}  // namespace

LocalTime responseDate(std::string_view field) {
    using namespace std::chrono;
    std::int64_t day = int16Field(mid(field, 1, 2));
    std::int64_t month = int16Field(mid(field, 4, 2));
    std::int64_t year = int16Field(mid(field, 7, 4));
    std::int64_t hour = int16Field(mid(field, 12, 2));
    std::int64_t minute = int16Field(mid(field, 15, 2));
    // Month 13 is January of the next year, month 0 December of the one
    // before; day 0 is the last day of the month before, and so on.
    std::int64_t m0 = month - 1;
    std::int64_t yearCarry = m0 >= 0 ? m0 / 12 : -((-m0 + 11) / 12);
    year += yearCarry;
    m0 -= yearCarry * 12;
    // Keep garbage inside the calendar's range rather than overflow it.
    year = std::clamp<std::int64_t>(year, -32000, 32000);
    LocalTime first = makeLocal(static_cast<int>(year), static_cast<int>(m0 + 1), 1);
    return first + days{day - 1} + hours{hour} + minutes{minute};
}

std::optional<ProbeReading> decodeResponseLine(std::string_view line, std::int32_t probe) {
    std::array<std::string_view, 19> f{};
    std::size_t count = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = line.find(',', start);
        std::string_view piece = line.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                                    : comma - start);
        if (count < f.size()) f[count] = piece;
        ++count;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (count < 18) return std::nullopt;

    std::int64_t p = roundHalfEven(leadingNumber(f[0]));
    if (p != probe || p < 1) return std::nullopt;

    ProbeReading r;
    r.probe = probe;
    r.recNo = leadingInt(f[1]);
    r.time = responseDate(f[2]);
    for (int d = 0; d < 6; ++d) {
        r.T[d] = floatField(f[3 + 2 * d]);
        r.SM[d] = floatField(f[4 + 2 * d]);
    }
    r.Temp = floatField(f[15]);
    r.Volts = floatField(f[16]);
    r.pwrFail = isPowerFail(f[17]) ? 1 : 0;
    r.counter = count >= 19 ? leadingInt(f[18]) : 0;
    return r;
}

}  // namespace kvr::web
