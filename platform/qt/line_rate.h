// Reading and setting a line rate by number on Linux (termios2 with BOTHER),
// for rates the classic termios speed table does not name, such as 56000.
// Kept apart because the kernel's termios2 header cannot share a translation
// unit with the C library's <termios.h>.
#pragma once

namespace kvr::qt {

// The output rate of the terminal on fd, or -1 when it cannot be read.
int readLineRate(int fd);
// Sets input and output rate of fd to baud exactly. False on failure.
bool writeLineRate(int fd, int baud);

}  // namespace kvr::qt
