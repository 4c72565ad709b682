// Kept apart from every file that includes <termios.h>: the kernel's
// termbits header defines the same names with other layouts.
#include "sim/devices/pty_termios.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kvr::sim {

namespace {

unsigned classicRate(unsigned code) {
    switch (code) {
        case B50: return 50;
        case B75: return 75;
        case B110: return 110;
        case B134: return 134;
        case B150: return 150;
        case B200: return 200;
        case B300: return 300;
        case B600: return 600;
        case B1200: return 1200;
        case B1800: return 1800;
        case B2400: return 2400;
        case B4800: return 4800;
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        case B230400: return 230400;
        case B460800: return 460800;
        case B921600: return 921600;
        default: return 0;
    }
}

}  // namespace

std::string ttyLineSettings(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return {};
    unsigned baud = (t.c_cflag & CBAUD) == BOTHER ? t.c_ospeed : classicRate(t.c_cflag & CBAUD);
    if (baud == 0) baud = t.c_ospeed;
    char parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'o' : 'e') : 'n';
    int bits = 8;
    switch (t.c_cflag & CSIZE) {
        case CS5: bits = 5; break;
        case CS6: bits = 6; break;
        case CS7: bits = 7; break;
        default: bits = 8; break;
    }
    int stop = (t.c_cflag & CSTOPB) ? 2 : 1;
    return std::to_string(baud) + "," + parity + "," + std::to_string(bits) + "," + std::to_string(stop);
}

bool ttySetBaud(int fd, unsigned baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~static_cast<unsigned>(CBAUD);
    t.c_cflag |= BOTHER;
    t.c_cflag &= ~static_cast<unsigned>(CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER << IBSHIFT;
    t.c_ospeed = baud;
    t.c_ispeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace kvr::sim
