#include "server_dump/modem.h"

#include <algorithm>
#include <cctype>

#include "server_dump/run_end.h"
#include "server_link/server_link.h"

namespace kvr {

namespace {

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trimSpaces(const std::string& s) {
    auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// A real window stays responsive if a wait hands control back this often.
constexpr std::int64_t kSliceMs = 100;

}  // namespace

MartenModem::MartenModem(Platform& platform, std::int16_t& ModemOnline) : p_(platform), ModemOnline_(ModemOnline) {}

void MartenModem::send(const std::string& text) {
    Bytes b(text.begin(), text.end());
    p_.port.write(b);
}

bool MartenModem::WaitModemComms(float tmr) {
    const std::int64_t start = p_.clock.monotonicMs();
    const std::int64_t deadline = start + static_cast<std::int64_t>(tmr * 1000.0f);
    p_.screen.setLed(0, 'N');
    Response.clear();
    std::string collected;
    for (;;) {
        const std::int64_t now = p_.clock.monotonicMs();
        if (now >= deadline) return false;
        p_.screen.yield();
        if (p_.port.isOpen() && p_.port.bytesWaiting() > 0) {
            p_.screen.setLed(1, 'G');
            Bytes in = p_.port.readAll();
            collected.append(in.begin(), in.end());
            Response = collected;
            if (collected.find(Expected) != std::string::npos) return true;
            const std::string u = upper(collected);
            if (u.find("ERROR") != std::string::npos || u.find("BUSY") != std::string::npos ||
                u.find("CARRIER") != std::string::npos)
                return false;
            continue;
        }
        const std::int64_t until = std::min(deadline, now + kSliceMs);
        if (p_.port.isOpen())
            p_.port.waitForBytes(until);
        else
            p_.clock.sleepUntil(until);
    }
}

bool MartenModem::ModemComms(const std::string& cmd) {
    Expected = "OK";
    p_.screen.setLed(0, 'G');
    p_.screen.setLed(1, 'R');
    // The escape must reach the modem alone: a CR after it would be taken
    // as data by the far end.
    const std::string line = cmd == "+++" ? cmd : cmd + "\r";
    for (int attempt = 0; attempt < 3; ++attempt) {
        send(line);
        if (WaitModemComms(1)) {
            p_.screen.setLed(1, 'N');
            return true;
        }
    }
    return false;
}

void MartenModem::ModemDisconnect() {
    p_.screen.showEvent("Disconnecting modem ...");
    ModemComms("+++");
    ModemComms("ATH");
    p_.screen.showEvent("Modem disconnected ...");
    p_.port.close();
    ModemOnline_ = 0;
}

MartenModem::Dial MartenModem::DetectAndDial(ServerLink& server, LinkState& link) {
    if (!ModemComms("ATE0")) return Dial::NoModem;

    p_.screen.showEvent("Detected cell modem ...");
    Expected = "READY";
    send("AT+CPIN?\r");
    if (!WaitModemComms(1)) {
        const std::string pin = p_.screen.inputBox("Please enter your cell pin code:", "Pin Code", "");
        // Only a four-digit answer can be a SIM PIN; anything else is not
        // sent, so a typo never uses up one of the SIM's few attempts.
        if (pin.size() == 4) {
            if (!ModemComms("AT+CPIN=\"" + pin + "\"")) {
                p_.screen.messageBox("Pin code not accepted!", "ERROR", Icon::Information, Buttons::Ok);
                throw RunEnd{1};
            }
        }
    }
    p_.screen.setLed(1, 'N');

    const std::string stored = p_.settings.get("NVA5", "Startup", "Cell", "");
    const std::string number = p_.screen.inputBox("Connect to cell number:", "Cell Number", stored);
    if (number.empty()) throw RunEnd{1};
    p_.settings.set("NVA5", "Startup", "Cell", trimSpaces(number));
    p_.screen.showEvent("Dialing " + number + " ...");

    Expected = "CONNECT";
    send("ATD" + number + "\r");
    if (!WaitModemComms(60)) {
        const std::string kept = Response;
        ModemComms("ATH");
        p_.screen.messageBox("Cannot connect to " + number + "." + "\r" + kept, "ERROR", Icon::Information,
                             Buttons::Ok);
        throw RunEnd{1};
    }

    ModemOnline_ = 1;
    p_.screen.showEvent("Connected to " + number);

    server.v5GetStatus();
    if (link.CommsError) {
        ModemDisconnect();
        p_.screen.messageBox("Cannot connect to server, no comms.", "No Comms", Icon::Information, Buttons::Ok);
        throw RunEnd{1};
    }
    return Dial::Connected;
}

}  // namespace kvr
