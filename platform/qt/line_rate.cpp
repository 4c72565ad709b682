#include "platform/qt/line_rate.h"

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace kvr::qt {

#ifdef __linux__
int readLineRate(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return -1;
    return static_cast<int>(t.c_ospeed);
}

bool writeLineRate(int fd, int baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
    if (ioctl(fd, TCSETS2, &t) != 0) return false;
    return readLineRate(fd) == baud;
}
#else
int readLineRate(int) { return -1; }
bool writeLineRate(int, int) { return false; }
#endif

}  // namespace kvr::qt
