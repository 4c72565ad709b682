// The kvr-sim program: simulated devices behind pseudo-terminals and a
// stand-in web data service. Each device kind or command registers itself
// from its own source file, so kinds are added without touching main.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/devices/sim_device.h"

namespace kvr::sim {

using Args = std::vector<std::string>;

// A device that runs behind a pseudo-terminal. make() gets the arguments that
// the common runner did not take and throws std::invalid_argument on a bad one.
struct DeviceKind {
    std::string name;
    std::string help;  // the kind's own options, for --help
    std::function<std::unique_ptr<SimDevice>(const Args& args)> make;
};

// A command with a main of its own (the web data service).
struct Command {
    std::string name;
    std::string help;
    std::function<int(const Args& args)> run;
};

std::vector<DeviceKind>& deviceKinds();
std::vector<Command>& commands();

struct RegisterDeviceKind {
    explicit RegisterDeviceKind(DeviceKind k) { deviceKinds().push_back(std::move(k)); }
};
struct RegisterCommand {
    explicit RegisterCommand(Command c) { commands().push_back(std::move(c)); }
};

// Builds a device of a registered kind (used by the modem to put a device behind it).
std::unique_ptr<SimDevice> makeDevice(const std::string& kind, const Args& args);

// nullptr when nothing of that name is registered.
const DeviceKind* findDeviceKind(const std::string& name);
const Command* findCommand(const std::string& name);

}  // namespace kvr::sim
