// The serial ports the system sees (QSerialPortInfo) with the port numbers
// the programs know them by, for --list-ports and the window's port box.
#pragma once

#include <string>
#include <vector>

#include "core/platform.h"

namespace kvr::qt {

struct SeenPort {
    std::string device;       // /dev/ttyUSB0 (Windows: COM3)
    std::string description;  // "FT232R USB UART"
    std::string serialNumber; // USB serial number, when the adapter has one
    int number = 0;           // port number it maps to; 0: none yet
};

// The system's ports, then the [Ports] entries naming devices the system
// does not list (pseudo-terminals, unplugged adapters).
std::vector<SeenPort> seenPorts(Settings& settings);

// One line per port under a header line.
std::string portTable(const std::vector<SeenPort>& ports);

// The text a port box shows for a port, and back (empty when the text is
// not one of the listed labels).
std::string portLabel(const SeenPort& p);

}  // namespace kvr::qt
