// A simulated dial-up / cellular modem. In command mode it answers the AT
// dialogues of both programs (lines ended by CR, an LF after it ignored);
// after CONNECT every byte passes through to the device behind the call,
// until a lone "+++" chunk brings it back to command mode.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/devices/sim_device.h"

namespace kvr::sim {

struct ModemOptions {
    enum class Dial { Connect, NoCarrier, Busy, Silent };
    std::string pin;               // empty: the SIM needs no PIN
    int answerOnTry = 1;           // "ATE0" is answered from this try on
    Dial dial = Dial::Connect;
    bool zeroOnFrame = false;      // answer a logger frame with 0x5E 0x00
    bool echo = false;             // echo command-mode input until ATE0
    std::int64_t replyDelayMs = 20;
    std::int64_t connectDelayMs = 300;
    std::string behindKind;        // empty: nothing behind the call
    std::vector<std::string> behindArgs;
};

// Parses the modem's own options; everything after "--" is handed to the
// device behind the call. Throws std::invalid_argument on a bad option.
ModemOptions parseModemOptions(const std::vector<std::string>& args);

class Modem : public SimDevice {
public:
    Modem(ModemOptions options, std::unique_ptr<SimDevice> behind);

    void receive(ByteSpan data, SimOutput& out) override;
    void lineSettingsChanged(const std::string& settings) override;
    nlohmann::json state() const override;

    bool online() const { return online_; }
    SimDevice* behind() { return behind_.get(); }

private:
    void commandBytes(ByteSpan data, SimOutput& out);
    void commandLine(const std::string& line, SimOutput& out);
    void reply(SimOutput& out, const std::string& text, std::int64_t delayMs);
    void watchLoggerFrame(std::uint8_t b, SimOutput& out);

    ModemOptions o_;
    std::unique_ptr<SimDevice> behind_;
    std::string line_;
    bool echo_;
    bool simLocked_;
    bool online_ = false;      // data mode: bytes go to the device
    bool callUp_ = false;      // a call exists (also in online command mode)
    bool everConnected_ = false;
    bool hungUp_ = false;
    int ate0Tries_ = 0;
    int zerosSent_ = 0;
    std::vector<std::string> commands_;
    std::string dialled_;
    std::string pinUsed_;
    bool pinTried_ = false;
    std::vector<std::uint8_t> frame_;  // logger frame being watched for
};

}  // namespace kvr::sim
