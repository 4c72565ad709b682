// Runs one device kind behind a pseudo-terminal until SIGTERM or SIGINT:
// prints the slave's path as the first line of stdout, writes the device's
// state as JSON at exit and on SIGUSR1.
#pragma once

#include "sim/main/commands.h"

namespace kvr::sim {

// Takes --state FILE, --pace and --link PATH from args; everything else
// (including --seed) goes to the kind. Returns the process exit status.
int runDeviceKind(const DeviceKind& kind, Args args);

// Help for the options above.
const char* runnerOptionsHelp();

}  // namespace kvr::sim
