// Reading numbers from text the way every setting, answer, configuration
// value and response field is read: locale-independent and lenient.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvr {

// Leading blanks skipped, optional sign, the longest leading decimal number
// with "." as decimal point and an optional exponent; no number gives 0.
// "3", "3 ", "3abc" -> 3; "", "COM3" -> 0.
double leadingNumber(std::string_view text);

// Whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
// Values beyond the 64-bit range saturate.
std::int64_t roundHalfEven(double value);

// leadingNumber then roundHalfEven, clamped to the 32-bit range.
std::int32_t leadingInt(std::string_view text);

}  // namespace kvr
