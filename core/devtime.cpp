#include "core/devtime.h"

#include <limits>

namespace kvr {

using namespace std::chrono;

LocalTime deviceEpoch() { return local_days{year{2000} / January / 1}; }

LocalTime fromDeviceSeconds(std::int64_t s) { return deviceEpoch() + seconds{s}; }

LocalTime fromDeviceMinutes(std::int64_t m) { return deviceEpoch() + minutes{m}; }

std::int64_t toDeviceSeconds(LocalTime t) { return (t - deviceEpoch()).count(); }

std::int32_t toServerUnits(LocalTime t) {
    // Days times 5760 is seconds divided by 15; the division is done in
    // whole numbers so a quarter-minute boundary never suffers a binary
    // fraction. Halves (7.5 s past a unit) go to the even unit.
    std::int64_t s = toDeviceSeconds(t);
    std::int64_t q = s / 15;
    std::int64_t r = s % 15;
    if (r < 0) {
        r += 15;
        --q;
    }
    // Whole seconds never fall exactly half-way (7.5 s), so no tie arises.
    if (2 * r > 15) ++q;
    if (q > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (q < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(q);
}

LocalTime makeLocal(int y, int mo, int d, int h, int mi, int s) {
    // Months out of 1..12 carry into neighbouring years, days out of the
    // month into neighbouring months (day 0 is the last day of the month
    // before), and the time of day into neighbouring days.
    std::int64_t months = static_cast<std::int64_t>(y) * 12 + (mo - 1);
    std::int64_t yy = months >= 0 ? months / 12 : -((-months + 11) / 12);
    auto mm = static_cast<unsigned>(months - yy * 12 + 1);
    local_days first{year{static_cast<int>(yy)} / month{mm} / 1};
    return first + days{static_cast<std::int64_t>(d) - 1} + hours{h} + minutes{mi} + seconds{s};
}

CivilTime toCivil(LocalTime t) {
    auto dayStart = floor<days>(t);
    year_month_day ymd{dayStart};
    hh_mm_ss<seconds> hms{t - dayStart};
    return CivilTime{static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                     static_cast<int>(static_cast<unsigned>(ymd.day())), static_cast<int>(hms.hours().count()),
                     static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count())};
}

}  // namespace kvr
