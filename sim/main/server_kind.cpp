// kvr-sim kind "server": the probe server.
#include "sim/devices/probe_server.h"
#include "sim/main/commands.h"

namespace kvr::sim {
namespace {

const RegisterDeviceKind kServerKind{DeviceKind{
    "server", probeServerHelp(),
    [](const Args& args) -> std::unique_ptr<SimDevice> {
        return std::make_unique<ProbeServer>(parseProbeServerOptions(args));
    }}};

}  // namespace
}  // namespace kvr::sim
