// The few operating-system calls the core needs, one implementation per
// system (os_posix.cpp, os_win32.cpp), so the rest of the core builds
// unchanged on Linux and on Windows.
#pragma once

#include <ctime>

namespace kvr::os {

// The broken-down local time of t (thread-safe).
std::tm localTime(std::time_t t);

// Calls handler (async-signal-safe work only) on SIGINT and SIGTERM (Windows:
// Ctrl+C, Ctrl+Break and the console closing). Blocked waits are not
// restarted where the system allows it, so the caller gets to its next yield.
void onStopSignals(void (*handler)(int));

}  // namespace kvr::os
