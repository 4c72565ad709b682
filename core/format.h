// Format patterns of the probe data files and messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/platform.h"

namespace kvr {

// Number patterns such as "#00000", "00000", "#####0", "###0.00", "00.0",
// "000.00", "0.0", "###0.0", "##0.0", "#", "#####": "0" a digit always shown,
// "#" a digit shown when significant, fixed decimals rounded half away from
// zero, minus sign before the padded digits, "#"-only patterns give "" for 0.
// Single-precision values are rounded as a person reads them: the shortest
// decimal text of the float, then half away from zero (20.15f -> "20.2").
std::string formatNumber(double value, const std::string& pattern);
std::string formatFloat(float value, const std::string& pattern);
// The same, appended to `out` (rows are built from many numbers).
void appendNumber(std::string& out, double value, std::string_view pattern);
void appendFloat(std::string& out, float value, std::string_view pattern);

// Number field written between text pieces in a dump row: one space (a minus
// sign instead when negative), the digits, one space. 345 -> " 345 ".
std::string numberField(std::int64_t value);

// Date patterns: "yyyy/mm/dd", "HH:MM:SS", "yyyy/mm/dd HH:MM:SS",
// "dd/mm/yyyy HH:MM", "dd/mm/yyyy".
std::string formatDate(LocalTime t, const std::string& pattern);

}  // namespace kvr
