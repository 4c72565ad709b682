#include "server_dump/marten_modem.h"

#include <algorithm>

#include "core/answer_wait.h"
#include "server_dump/run_end.h"
#include "server_link/server_link.h"

namespace kvr {

namespace {

std::string trimSpaces(const std::string& s) {
    auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

}  // namespace

MartenModem::MartenModem(Platform& platform, std::int16_t& ModemOnline) : p_(platform), ModemOnline_(ModemOnline) {}

void MartenModem::send(const std::string& text) { sendAtLine(p_.port, text, "\r"); }

bool MartenModem::WaitModemComms(float tmr) {
    p_.screen.setLed(0, 'N');
    Response.clear();
    const auto limit = static_cast<std::int64_t>(tmr * 1000.0f);
    return awaitAt(p_, Response, {Expected}, {"ERROR", "BUSY", "CARRIER"}, limit,
                   [this] { p_.screen.setLed(1, 'G'); }) == AtResult::Accepted;
}

bool MartenModem::ModemComms(const std::string& cmd) {
    Expected = "OK";
    p_.screen.setLed(0, 'G');
    p_.screen.setLed(1, 'R');
    for (int attempt = 0; attempt < 3; ++attempt) {
        send(cmd);
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
    send("AT+CPIN?");
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
    send("ATD" + number);
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
