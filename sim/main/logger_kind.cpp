// kvr-sim kind "logger": an ordinary, extended or server-layout logger.
#include "sim/devices/logger.h"
#include "sim/main/commands.h"

namespace kvr::sim {
namespace {

const RegisterDeviceKind kLoggerKind{DeviceKind{
    "logger", loggerOptionsHelp(),
    [](const Args& args) -> std::unique_ptr<SimDevice> { return std::make_unique<Logger>(parseLoggerOptions(args)); }}};

}  // namespace
}  // namespace kvr::sim
