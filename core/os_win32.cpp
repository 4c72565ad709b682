#ifdef _WIN32
#include <csignal>

#include "core/os.h"

namespace kvr::os {

std::tm localTime(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

void onStopSignals(void (*handler)(int)) {
    // The C runtime maps Ctrl+C to SIGINT and Ctrl+Break to SIGBREAK; a
    // service stop or a closed console arrives as SIGTERM-like ends only
    // through those.
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
#ifdef SIGBREAK
    std::signal(SIGBREAK, handler);
#endif
}

}  // namespace kvr::os
#endif
