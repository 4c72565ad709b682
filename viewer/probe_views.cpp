#include "viewer/probe_views.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace kvr::viewer {

int64_t usualInterval(std::span<const Reading> r) {
    std::vector<int64_t> steps;
    steps.reserve(r.size());
    for (std::size_t i = 1; i < r.size(); ++i) steps.push_back(r[i].time - r[i - 1].time);
    if (steps.empty()) return 0;
    auto mid = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), mid, steps.end());
    return *mid;
}

std::vector<Gap> findGaps(std::span<const Reading> r) {
    std::vector<Gap> gaps;
    const int64_t usual = usualInterval(r);
    if (usual <= 0) return gaps;
    for (std::size_t i = 1; i < r.size(); ++i)
        if (r[i].time - r[i - 1].time > 3 * usual) gaps.push_back({r[i - 1].time, r[i].time});
    return gaps;
}

ProbeSummary summarize(int32_t probe, std::span<const Reading> r) {
    ProbeSummary s;
    s.probe = probe;
    s.readings = r.size();
    if (r.empty()) return s;
    s.first = r.front().time;
    s.last = r.back().time;
    for (auto it = r.rbegin(); it != r.rend(); ++it)
        if (it->hasVolts()) {
            s.lastVolts = it->volts;
            break;
        }
    s.gaps = findGaps(r).size();
    return s;
}

std::string hundredthsText(int64_t v) {
    std::string s = v < 0 ? "-" : "";
    const int64_t a = v < 0 ? -v : v;
    s += std::to_string(a / 100);
    if (a % 100) {
        char frac[4];
        std::snprintf(frac, sizeof frac, ".%02d", static_cast<int>(a % 100));
        s += frac;
        if (s.back() == '0') s.pop_back();
    }
    return s;
}

std::string shortDateTime(int64_t civil) {
    const CivilTime t = civilFields(civil);
    char b[32];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    return b;
}

std::string summaryTable(const ProbeData& data) {
    std::string out = "Probe   First reading     Last reading      Readings  Volts     Gaps\n";
    for (const auto& p : data.probes) {
        const ProbeSummary s = summarize(p.probe, data.of(p));
        const std::string volts = s.lastVolts < 0 ? "-" : hundredthsText(s.lastVolts) + (s.lowBattery() ? " low" : "");
        char line[160];
        std::snprintf(line, sizeof line, "%05d   %s  %s  %8zu  %-8s %5zu\n", s.probe, shortDateTime(s.first).c_str(),
                      shortDateTime(s.last).c_str(), s.readings, volts.c_str(), s.gaps);
        out += line;
    }
    return out;
}

int64_t LocalZone::offset(int64_t civil) {
    const int64_t hour = civil >= 0 ? civil / 3600 : (civil - 3599) / 3600;
    if (hour != hour_) {
        const CivilTime c = civilFields(hour * 3600);
        std::tm tm{};
        tm.tm_year = c.year - 1900;
        tm.tm_mon = c.month - 1;
        tm.tm_mday = c.day;
        tm.tm_hour = c.hour;
        tm.tm_isdst = -1;
        // mktime moves a time that the clock skipped forward; its offset is
        // then the one after the change, which is what the clock showed.
        // The offset is the normalised local time less the moment it names.
        const std::time_t t = std::mktime(&tm);
        offset_ = civilSeconds(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec) -
                  static_cast<int64_t>(t);
        hour_ = hour;
    }
    return offset_;
}

std::string LocalZone::iso(int64_t civil) {
    const CivilTime t = civilFields(civil);
    const int64_t off = offset(civil);
    const int64_t a = off < 0 ? -off : off;
    char b[40];
    std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, off < 0 ? '-' : '+', static_cast<int>(a / 3600), static_cast<int>(a / 60 % 60));
    return b;
}

void writeTidy(std::ostream& out, const ProbeData& data, LocalZone& zone) {
    out << "probe,time,depth,temperature,water,volts,power_fail\n";
    std::string line;
    for (const auto& r : data.readings) {
        const std::string head = std::to_string(r.probe) + "," + zone.iso(r.time) + ",";
        const std::string tail =
            "," + (r.hasVolts() ? hundredthsText(r.volts) : std::string()) + "," + (r.powerFail ? "1" : "0") + "\n";
        for (int d = 0; d < 6; ++d) {
            line = head;
            line += std::to_string(d + 1) + ",";
            if (r.hasDepths()) line += hundredthsText(r.temp[d]) + "," + hundredthsText(r.water[d]);
            else line += ",";
            line += tail;
            out << line;
        }
    }
}

void reduce(std::span<const double> x, std::span<const double> y, double from, double to, int columns,
            std::vector<Point>& out) {
    out.clear();
    const std::size_t n = std::min(x.size(), y.size());
    if (n == 0 || columns <= 0 || !(to > from)) return;
    const std::size_t lo = static_cast<std::size_t>(std::lower_bound(x.begin(), x.begin() + n, from) - x.begin());
    const std::size_t hi = static_cast<std::size_t>(std::upper_bound(x.begin(), x.begin() + n, to) - x.begin());
    auto emit = [&](std::size_t i) { out.push_back({x[i], y[i]}); };
    // The neighbour outside the range, so the line runs to the edge.
    for (std::size_t i = lo; i-- > 0;)
        if (!std::isnan(y[i])) {
            emit(i);
            break;
        }
    const double scale = columns / (to - from);
    std::size_t first = 0, last = 0, low = 0, high = 0;
    long column = -1;
    auto flush = [&] {
        if (column < 0) return;
        std::size_t keep[4] = {first, low, high, last};
        std::sort(keep, keep + 4);
        for (int k = 0; k < 4; ++k)
            if (k == 0 || keep[k] != keep[k - 1]) emit(keep[k]);
    };
    for (std::size_t i = lo; i < hi; ++i) {
        if (std::isnan(y[i])) continue;
        const long c = std::min<long>(columns - 1, static_cast<long>((x[i] - from) * scale));
        if (c != column) {
            flush();
            column = c;
            first = last = low = high = i;
            continue;
        }
        last = i;
        if (y[i] < y[low]) low = i;
        if (y[i] > y[high]) high = i;
    }
    flush();
    for (std::size_t i = hi; i < n; ++i)
        if (!std::isnan(y[i])) {
            emit(i);
            break;
        }
}

}  // namespace kvr::viewer
