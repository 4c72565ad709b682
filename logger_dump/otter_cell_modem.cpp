// Otter's cellular modem: registration, PIN, dialling the remote logger's
// modem and hanging up, each a short AT dialogue.
#include <algorithm>

#include "logger_dump/otter_scan.h"

#include "core/answer_wait.h"
#include "logger_dump/otter_config.h"

namespace kvr {

namespace {

bool contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// Restores the pointer and stops collecting however Cell_Response is left.
struct CollectGuard {
    OtterApp& app;
    Screen& screen;
    ~CollectGuard() {
        app.CollectText = false;
        screen.setBusy(false);
    }
};

}  // namespace

void OtterApp::collectWaiting() {
    if (!CollectText || !p_.port.isOpen()) return;
    // The receive event usually collects first; this catches a port that
    // reports arrivals late or not at all.
    if (p_.port.bytesWaiting() == 0) return;
    Bytes b = p_.port.readAll();
    CellText.append(b.begin(), b.end());
}

void OtterApp::waitMs(std::int64_t ms) {
    if (!CollectText || !p_.port.isOpen()) {
        pauseMs(p_, ms);
        return;
    }
    waitForAnswer(p_, fixedLimit(ms), [this](const Bytes& chunk) {
        CellText.append(chunk.begin(), chunk.end());
        return Reception::Stalled;
    });
}

bool OtterApp::Cell_Response(const std::string& a, const std::string& Resp0, std::string Resp1, std::string Resp2,
                             std::int16_t tmr) {
    p_.screen.setBusy(true);
    CollectGuard guard{*this, p_.screen};
    p_.screen.yield();
    // Discarded before collecting starts, so a stale answer cannot match.
    if (p_.port.isOpen()) p_.port.clearInput();
    state_.CommsError = false;
    CollectText = true;
    CellText.clear();
    sendAtLine(p_.port, a, "\r\n");

    if (Resp1.empty()) Resp1 = "...........";
    if (Resp2.empty()) Resp2 = "...........";
    awaitAt(p_, CellText, {Resp0, Resp1, Resp2}, {}, (static_cast<std::int64_t>(tmr) + 1) * 1000);
    // The rest of the modem's answer (its final lines) arrives meanwhile.
    waitMs(1000);
    // Matched on the text as it came, zero characters included.
    bool result = contains(CellText, Resp0);
    collectWaiting();
    CellText.erase(std::remove(CellText.begin(), CellText.end(), '\0'), CellText.end());
    p_.screen.yield();
    return result;
}

bool OtterApp::Cell_Registered() {
    p_.screen.showEvent("Detecting cell phone ...");
    p_.screen.yield();
    CellWait() = 0;
    if (!Cell_Response("AT+CREG?", "OK")) {
        p_.screen.showEvent("Cell cannot detect network ...");
        p_.screen.yield();
        return false;
    }
    if (!Cell_Response("AT+CPIN?", "READY")) {
        std::string pin = trimSpaces(PinCode);
        if (pin.size() != 4 || !Cell_Response("AT+CPIN=" + pin, "OK")) {
            p_.screen.showEvent("Invalid pin code !");
            p_.screen.messageBox("Invalid pin code !", "ERROR", Icon::Information, Buttons::Ok);
            return false;
        }
    }
    CellWait() = 6;
    p_.screen.showEvent("Detected cell phone, ready to connect.");
    return Cell_Connected();
}

bool OtterApp::Cell_Connected() {
    CellConnected() = false;
    p_.screen.setBusy(true);
    p_.screen.showEvent("Dialing " + TelNumber + " ...");
    p_.screen.yield();
    bool ok = Cell_Response("ATD" + TelNumber, "CONNECT", "NO", "BUSY", 30);
    if (ok) {
        p_.screen.showEvent("Dialup connection established.");
        p_.screen.yield();
        CellConnected() = true;
        waitMs(2000);
    } else {
        state_.CommsError = true;
        p_.screen.showEvent("Cannot establish dialup connection.");
        p_.screen.messageBox("Cannot establish dialup connection." + CellText, "ERROR", Icon::Information, Buttons::Ok);
    }
    p_.screen.setBusy(false);
    return ok;
}

bool OtterApp::Cell_Disconnect() {
    p_.screen.showEvent("Cell disconnecting ...");
    p_.screen.yield();
    for (int i = 0; i < 10; ++i)
        if (Cell_Response("+++", "OK")) break;
    bool hungUp = false;
    for (int i = 0; i < 10 && !hungUp; ++i) hungUp = Cell_Response("ATH", "OK");
    if (!hungUp) {
        p_.screen.showEvent("Cannot disconnected !!!!");
    } else {
        p_.screen.showEvent("Cell disconnected.");
        CellConnected() = false;
    }
    p_.screen.yield();
    return hungUp;
}

void OtterApp::hangUpOnClose() {
    // The window is gone, so nothing may yield any more; but a call left up
    // costs money and keeps the logger's line busy. One escape and one
    // hang-up, each given a second, without waiting for the answers.
    auto send = [this](const std::string& text) {
        p_.port.write(ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        const std::int64_t until = p_.clock.monotonicMs() + 1000;
        while (p_.clock.monotonicMs() < until) p_.clock.sleepUntil(until);
    };
    if (!p_.port.isOpen()) return;
    send("+++");
    send("ATH\r\n");
    CellConnected() = false;
}

void OtterApp::onPortEvent(PortEvent e) {
    switch (e) {
        case PortEvent::Send:
            p_.screen.setLed(0, 'G');
            break;
        case PortEvent::Receive:
            p_.screen.setLed(1, 'G');
            if (CollectText && !inHandler_) {
                inHandler_ = true;
                Bytes b = p_.port.readAll();
                CellText.append(b.begin(), b.end());
                inHandler_ = false;
            }
            break;
        case PortEvent::Error:
            p_.screen.setLed(1, 'R');
            break;
    }
}

}  // namespace kvr
