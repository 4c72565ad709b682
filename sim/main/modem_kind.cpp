// kvr-sim kind "modem": a modem on the pseudo-terminal, optionally with a
// device of another kind behind the call, both in this one process.
#include <stdexcept>

#include "sim/devices/modem.h"
#include "sim/main/commands.h"

namespace kvr::sim {
namespace {

const RegisterDeviceKind kModemKind{DeviceKind{
    "modem",
    "  --pin NNNN            SIM locked until AT+CPIN gives this PIN\n"
    "  --answer-on-try N     leave the first N-1 ATE0 unanswered\n"
    "  --dial connect|nocarrier|busy|silent   outcome of ATD (default connect)\n"
    "  --behind KIND         device reached over the call; its options follow \"--\"\n"
    "  --zero-on-frame       answer a logger frame in command mode with 0x5E 0x00\n"
    "  --echo                echo command-mode input until ATE0\n"
    "  --reply-delay MS      delay of command answers (default 20)\n"
    "  --connect-delay MS    delay of the dial outcome (default 300)\n",
    [](const Args& args) -> std::unique_ptr<SimDevice> {
        ModemOptions o = parseModemOptions(args);
        std::unique_ptr<SimDevice> behind;
        if (!o.behindKind.empty()) {
            if (o.behindKind == "modem") throw std::invalid_argument("a modem cannot sit behind a modem");
            behind = makeDevice(o.behindKind, o.behindArgs);
        }
        return std::make_unique<Modem>(std::move(o), std::move(behind));
    }}};

}  // namespace
}  // namespace kvr::sim
