// Marten's dial-up: finds a modem on the port when neither a logger nor a
// probe server answered, unlocks its SIM, dials the server's modem and hangs
// up at the end of the run. Every wait runs on the monotonic clock.
#pragma once

#include <cstdint>
#include <string>

#include "core/link_state.h"
#include "core/platform.h"

namespace kvr {

class ServerLink;

class MartenModem {
public:
    // ModemOnline is the link's own flag (it lengthens the answer timeout).
    MartenModem(Platform& platform, std::int16_t& ModemOnline);

    // Waits up to tmr seconds for Expected. False on time-out, and at once
    // when the modem's text holds ERROR, BUSY or CARRIER.
    bool WaitModemComms(float tmr);
    // Sends cmd (with CR, except the escape "+++") up to three times,
    // waiting one second each time for "OK".
    bool ModemComms(const std::string& cmd);
    // Escape, hang up, close the port.
    void ModemDisconnect();

    enum class Dial { NoModem, Connected };
    // Detection and dial-up inside the connection loop. Returns NoModem when
    // nothing answered "ATE0", Connected once the server answered its status
    // over the call (CommsError false). Every failure after detection shows
    // its message and throws RunEnd.
    Dial DetectAndDial(ServerLink& server, LinkState& link);

    std::string Expected;
    std::string Response;

private:
    void send(const std::string& text);
    Platform& p_;
    std::int16_t& ModemOnline_;
};

}  // namespace kvr
