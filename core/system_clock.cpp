#include "core/system_clock.h"

#include <algorithm>
#include <ctime>
#include <thread>

#include "core/os.h"

namespace kvr {

std::int64_t SystemClock::monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

LocalTime SystemClock::now() {
    const std::tm tm = os::localTime(std::time(nullptr));
    using namespace std::chrono;
    // Rebuild the broken-down local time as a zone-less count of seconds,
    // which is exactly how the devices count time.
    const year_month_day ymd{year{tm.tm_year + 1900}, month{static_cast<unsigned>(tm.tm_mon + 1)},
                             day{static_cast<unsigned>(tm.tm_mday)}};
    return local_days{ymd} + hours{tm.tm_hour} + minutes{tm.tm_min} + seconds{tm.tm_sec};
}

void SystemClock::sleepUntil(std::int64_t deadlineMs) {
    const std::int64_t remaining = deadlineMs - monotonicMs();
    if (remaining <= 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(remaining, kMaxSleepMs)));
}

}  // namespace kvr
