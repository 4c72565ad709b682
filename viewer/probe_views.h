// What the viewer derives from one probe's readings: its usual interval and
// gaps, the summary line, the reduced series a chart draws, the tidy export.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "viewer/probe_data.h"

namespace kvr::viewer {

struct Gap {
    int64_t from, to;  // the readings on either side
};

// The median step between readings: robust against the gaps themselves and
// against runs collected twice at a shorter interval.
int64_t usualInterval(std::span<const Reading> r);
// Steps longer than three usual intervals.
std::vector<Gap> findGaps(std::span<const Reading> r);

struct ProbeSummary {
    int32_t probe = 0;
    int64_t first = 0, last = 0;
    std::size_t readings = 0;
    int32_t lastVolts = -1;  // hundredths; -1 when no reading carries a voltage
    std::size_t gaps = 0;
    bool lowBattery() const { return lastVolts >= 0 && lastVolts < kLowVolts; }
};
ProbeSummary summarize(int32_t probe, std::span<const Reading> r);
// The probe list as a text table, one line per probe.
std::string summaryTable(const ProbeData& data);

// Date-time texts: "yyyy-mm-dd HH:MM" for people, ISO-8601 with the local
// offset that applied at that moment for programs.
std::string shortDateTime(int64_t civil);
// Offset of local time from UTC in seconds at a local date-time (the
// process's time zone); cached per hour, as offsets change on the hour.
class LocalZone {
public:
    int64_t offset(int64_t civil);
    int64_t epoch(int64_t civil) { return civil - offset(civil); }
    std::string iso(int64_t civil);
private:
    int64_t hour_ = INT64_MIN, offset_ = 0;
};

// Tidy CSV: one line per probe, time and depth, LF line ends. Readings
// without depth values keep their voltage and flag with empty depth fields;
// a voltage field holding a status code is left empty.
void writeTidy(std::ostream& out, const ProbeData& data, LocalZone& zone);

// Reduction for drawing: of the points with x in [from, to], split into
// `columns` equal slices of x, keeps each slice's first, last, lowest and
// highest point (in x order), plus the nearest point outside either end so
// the line runs to the edge. Points with NaN y are left out.
struct Point {
    double x, y;
};
void reduce(std::span<const double> x, std::span<const double> y, double from, double to, int columns,
            std::vector<Point>& out);

// Value in hundredths as the shortest exact text ("25.5", "-1.05", "3").
std::string hundredthsText(int64_t v);

}  // namespace kvr::viewer
