// Any text read as a number (settings, answers, configuration values,
// response fields): the result is always finite, leading blanks and a
// trailing tail never change it, and whole-number conversion stays in range.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "core/numbers.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const double v = leadingNumber(text);
    if (!std::isfinite(v)) std::abort();

    // Blanks in front are skipped; text after a comma (the next field) is never read.
    if (leadingNumber(" \t" + std::string(text)) != v) std::abort();
    if (text.find(',') == std::string_view::npos && leadingNumber(std::string(text) + ",9") != v) std::abort();

    // A sign flips the value of an unsigned number.
    if (!text.empty() && text[0] >= '0' && text[0] <= '9' && leadingNumber("-" + std::string(text)) != -v)
        std::abort();

    const std::int64_t r = roundHalfEven(v);
    if (std::fabs(v) < 9.0e15) {
        // Within exact range: the nearest whole number, halves to even.
        const double d = static_cast<double>(r) - v;
        if (std::fabs(d) > 0.5) std::abort();
        if (std::fabs(d) == 0.5 && r % 2 != 0) std::abort();
    }
    const std::int32_t i = leadingInt(text);
    const std::int64_t clamped = r > std::numeric_limits<std::int32_t>::max()   ? std::numeric_limits<std::int32_t>::max()
                                 : r < std::numeric_limits<std::int32_t>::min() ? std::numeric_limits<std::int32_t>::min()
                                                                                : r;
    if (i != clamped) std::abort();

    // Any bit pattern as a double: rounding must neither trap nor overflow.
    if (size >= sizeof(double)) {
        double raw;
        std::memcpy(&raw, data, sizeof raw);
        const std::int64_t rr = roundHalfEven(raw);
        if (std::isnan(raw) && rr != 0) std::abort();
        if (raw >= 1e19 && rr != std::numeric_limits<std::int64_t>::max()) std::abort();
        if (raw <= -1e19 && rr != std::numeric_limits<std::int64_t>::min()) std::abort();
    }
    return 0;
}
