// Line settings of a serial or pseudo-terminal file descriptor, including
// rates without a classic constant (56000), which only the newer kernel
// interface carries.
#pragma once

#include <string>

namespace kvr::sim {

// "9600,n,8,1" as the terminal stands now; empty when it cannot be read.
std::string ttyLineSettings(int fd);
// Sets any rate (standard or not) on the terminal, keeping its other flags.
bool ttySetBaud(int fd, unsigned baud);

}  // namespace kvr::sim
