#include "platform/qt/port_list.h"

#include <algorithm>

#include <QSerialPortInfo>

#include "core/port_names.h"
#include "platform/qt/qt_serial_port.h"

namespace kvr::qt {

namespace {

// The number a device is reached by without an entry of its own.
int defaultNumber(const std::string& device) {
#ifdef _WIN32
    if (device.rfind("COM", 0) == 0) return std::atoi(device.c_str() + 3);
#else
    const std::string prefix = "/dev/ttyS";
    if (device.rfind(prefix, 0) == 0 && device.size() > prefix.size() &&
        std::all_of(device.begin() + static_cast<long>(prefix.size()), device.end(),
                    [](char c) { return c >= '0' && c <= '9'; }))
        return std::atoi(device.c_str() + prefix.size()) + 1;
#endif
    return 0;
}

std::string padded(std::string s, std::size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

}  // namespace

std::vector<SeenPort> seenPorts(Settings& settings) {
    std::vector<SeenPort> out;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SeenPort p;
        p.device = info.systemLocation().toStdString();
        p.description = info.description().toStdString();
        p.serialNumber = info.serialNumber().toStdString();
        p.number = mappedPortNumber(settings, p.device);
        if (!p.number) p.number = defaultNumber(p.device);
        out.push_back(std::move(p));
    }
#ifndef _WIN32
    for (int n = 1; n <= kHighestPortNumber; ++n) {
        const std::string device = portDevicePath(n, settings);
        if (defaultNumber(device) == n) continue;  // no entry of its own
        if (std::any_of(out.begin(), out.end(), [n](const SeenPort& p) { return p.number == n; })) continue;
        out.push_back({device, "(KVR.conf [Ports])", "", n});
    }
#endif
    std::stable_sort(out.begin(), out.end(), [](const SeenPort& a, const SeenPort& b) {
        return (a.number ? a.number : 1 << 20) < (b.number ? b.number : 1 << 20);
    });
    return out;
}

std::string portTable(const std::vector<SeenPort>& ports) {
    std::size_t devWidth = 6, descWidth = 11;
    for (const auto& p : ports) {
        devWidth = std::max(devWidth, p.device.size());
        descWidth = std::max(descWidth, p.description.size());
    }
    std::string t = padded("PORT", 6) + padded("DEVICE", devWidth + 2) + padded("DESCRIPTION", descWidth + 2) +
                    "SERIAL\n";
    for (const auto& p : ports) {
        std::string line = padded(p.number ? std::to_string(p.number) : "-", 6) + padded(p.device, devWidth + 2) +
                           padded(p.description, descWidth + 2) + p.serialNumber;
        line.erase(line.find_last_not_of(' ') + 1);
        t += line + '\n';
    }
    if (ports.empty()) t += "(no serial ports found)\n";
    return t;
}

std::string portLabel(const SeenPort& p) {
    std::string s = p.device;
    if (!p.description.empty()) s += "  " + p.description;
    if (!p.serialNumber.empty()) s += "  (" + p.serialNumber + ")";
    s += p.number ? "  port " + std::to_string(p.number) : "  new port";
    return s;
}

}  // namespace kvr::qt
