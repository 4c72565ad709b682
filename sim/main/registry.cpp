#include <stdexcept>

#include "sim/main/commands.h"

namespace kvr::sim {

std::vector<DeviceKind>& deviceKinds() {
    // Built on first use, so registrations from any source file's static
    // initialisers find it ready whatever the link order.
    static std::vector<DeviceKind> kinds;
    return kinds;
}

std::vector<Command>& commands() {
    static std::vector<Command> list;
    return list;
}

const DeviceKind* findDeviceKind(const std::string& name) {
    for (auto& k : deviceKinds())
        if (k.name == name) return &k;
    return nullptr;
}

const Command* findCommand(const std::string& name) {
    for (auto& c : commands())
        if (c.name == name) return &c;
    return nullptr;
}

std::unique_ptr<SimDevice> makeDevice(const std::string& kind, const Args& args) {
    const DeviceKind* k = findDeviceKind(kind);
    if (!k) throw std::invalid_argument("unknown device kind '" + kind + "'");
    return k->make(args);
}

}  // namespace kvr::sim
