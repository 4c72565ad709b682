// One line of the web data service's answer: comma-separated fields
//   0 probe, 1 record number, 2 "dd/mm/yyyy HH:MM", 3..14 T1,SM1..T6,SM6,
//   15 Temp, 16 volts, 17 power-fail text, 18 trailing count (optional).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "files/probe_files.h"

namespace kvr::web {

// The date field is read by character positions (day 1-2, month 4-5,
// year 7-10, hour 12-13, minute 15-16), each a lenient number; days and
// months out of range carry into the neighbouring months and years.
LocalTime responseDate(std::string_view field);

// The reading of a line asked for probe `probe`; nothing when the line
// belongs to another probe, has a probe field below 1, or has fewer than 18
// fields (a short or empty line must never reuse values of an earlier one).
std::optional<ProbeReading> decodeResponseLine(std::string_view line, std::int32_t probe);

}  // namespace kvr::web
