#include "logger_dump/otter_app.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "core/format.h"
#include "core/numbers.h"
#include "core/port_names.h"

namespace kvr {

namespace {

constexpr const char* kLineSettings9600 = "9600,n,8,1";
// Waits slice their sleeps so the window (or a stop signal) is served at
// least ten times a second.
constexpr std::int64_t kSliceMs = 100;

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

OtterApp::OtterApp(Platform& platform, std::filesystem::path programFolder, Options options)
    : p_(platform), folder_(std::move(programFolder)), options_(options), link_(platform, state_, LoggerVariant::Otter()) {
    link_.DumpFolder = withTrailingSeparator(folder_);
    link_.cellRegistered = [this] {
        bool up = Cell_Registered();
        // The modem dialogue clears CommsError on every command; a modem that
        // could not be used must still leave the status request failed.
        if (!up) state_.CommsError = true;
        return up;
    };
    p_.port.setEventHandler([this](PortEvent e) { onPortEvent(e); });
}

OtterApp::~OtterApp() { p_.port.setEventHandler(nullptr); }

void OtterApp::Form_Load() { LastTick = p_.clock.monotonicMs(); }

int OtterApp::run() {
    Form_Load();
    std::int64_t next = LastTick;
    try {
        while (!ended_) {
            next += kOtterTickMs;
            while (p_.clock.monotonicMs() < next) p_.clock.sleepUntil(next);
            p_.screen.yield();
            tmr_Timer();
            // A tick that fell behind (a long scan) is not made up in a burst.
            next = std::max(next, p_.clock.monotonicMs() - kOtterTickMs);
        }
    } catch (const ProgramEnd&) {
        CollectText = false;
        if (CellConnected()) hangUpOnClose();
        p_.port.close();
        // Stopping a resident Otter is its normal end; a single run that was
        // cut short did not complete.
        if (ScanRate() != 0) return writeFailure_ ? 3 : 0;
        return 1;
    }
    p_.port.close();
    return exitStatus();
}

void OtterApp::tmr_Timer() {
    p_.screen.setLed(0, 'N');
    p_.screen.setLed(1, 'N');
    // Counted on the monotonic clock: a tick across midnight (or a wall
    // clock that was set back) is counted like any other.
    std::int64_t now = p_.clock.monotonicMs();
    if (now > LastTick) Elapsed += static_cast<double>(now - LastTick) / 1000.0;
    LastTick = now;
    if (Elapsed >= ScanRate() && !ScanBusy) {
        Elapsed = 0;
        ScanBusy = true;
        try {
            IniComms();
        } catch (...) {
            ScanBusy = false;
            throw;
        }
        ScanBusy = false;
    }
}

void OtterApp::IniComms() {
    ++scans_;
    if (!readConfig()) return;
    scanPorts();
}

bool OtterApp::readConfig() {
    HighSpeed() = 0;
    PinCode.clear();
    TelNumber.clear();
    if (p_.port.isOpen()) p_.port.close();

    const std::filesystem::path cfgPath = folder_ / kOtterCfgName;
    std::error_code ec;
    if (!std::filesystem::exists(cfgPath, ec)) {
        p_.screen.messageBox("Please refere to the setup file to change the serial port or other settings.\r\r" +
                                 cfgPath.string(),
                             "Setup File", Icon::Information, Buttons::Ok);
        std::ofstream out(cfgPath, std::ios::binary | std::ios::trunc);
        for (const char* line : kOtterCfgDefaultLines) out << line << "\r\n";
        out.flush();
        if (!out) {
            errorPath("Cannot create " + cfgPath.string());
            return false;
        }
    }

    std::ifstream in(cfgPath, std::ios::binary);
    if (!in) {
        errorPath("Cannot read " + cfgPath.string());
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    OtterConfig cfg;
    cfg.ScanRate = ScanRate();
    cfg.DumpFolder = DumpFolder();
    cfg.portNumber = [this](const std::string& v) { return portFromAnswer(p_.settings, v); };
    CfgResult r = applyCfgLines(splitCfgLines(text), folder_, cfg);
    if (options_.comsPort > 0) cfg.firstPort = cfg.comPort = options_.comsPort;

    // What the lines before a bad one said is kept, as the file is read in order.
    firstPort_ = cfg.firstPort;
    secondPort_ = cfg.secondPort;
    if (cfg.comPort > 0) comPort_ = cfg.comPort;
    HighSpeed() = cfg.HighSpeed;
    ScanRate() = cfg.ScanRate;
    DumpFolder() = cfg.DumpFolder;
    PinCode = cfg.PinCode;
    TelNumber = cfg.TelNumber;
    if (cfg.setSettings9600) p_.port.setSettings(kLineSettings9600);

    if (r.status == CfgStatus::BadFolder) {
        p_.screen.messageBox("Invalid data dump folder specified.\r\r" + r.errorText, "ERROR", Icon::Information,
                             Buttons::Ok);
        setupFailure_ = true;
        endProgram();
        return false;
    }
    if (r.status == CfgStatus::BadLine) {
        errorPath(r.errorText);
        return false;
    }
    if (firstPort_ <= 0) {
        if (options_.endOnSetupFailure && ScanRate() == 0) {
            p_.screen.showEvent("No serial port set in " + cfgPath.string() + ".");
            setupFailure_ = true;
            endProgram();
        }
        return false;
    }
    return true;
}

void OtterApp::errorPath(const std::string& errorText) {
    p_.screen.messageBox("ERROR, Cannot open serial port " + std::to_string(comPort_) + ": " + errorText, "ERROR",
                         Icon::Information, Buttons::Ok);
    p_.screen.setLed(0, 'R');
    if (options_.endOnSetupFailure && ScanRate() == 0) {
        setupFailure_ = true;
        endProgram();
    }
}

void OtterApp::scanPorts() {
    int portToTry = firstPort_;
    int attempt = 0;
    while (portToTry > 0) {
        std::string err;
        if (!p_.port.open(comPort_, err)) {
            // A port that vanished (an unplugged adapter) held no logger: the
            // next one to appear there is new and must be downloaded.
            LoggerHandled() = false;
            errorPath(err);
            return;
        }
        link_.GetStatus();
        bool written = true;
        if (!state_.CommsError && !LoggerHandled()) written = handleLogger();
        if (CellConnected()) {
            // Hanging up talks to the modem, which clears CommsError; the
            // outcome of the download must survive it.
            bool downloadFailed = state_.CommsError;
            Cell_Disconnect();
            state_.CommsError = downloadFailed || state_.CommsError;
        }
        LoggerHandled() = !state_.CommsError && written;
        p_.port.close();
        if (ScanRate() != 0) {
            p_.screen.showWindow(false);
            p_.screen.showEvent("");
            return;
        }
        // Reaching the logger through the modem on the second port is a
        // success even though the first port found nothing.
        if (attempt == 1 && !state_.CommsError) commsFailure_ = false;
        if (state_.CommsError) {
            commsFailure_ = true;
            p_.screen.setLed(0, 'N');
            p_.screen.yield();
            p_.screen.messageBox("ERROR, Data download not completed - No comms.", "ERROR", Icon::Information,
                                 Buttons::Ok);
        }
        if (attempt == 0) {
            p_.port.close();
            attempt = 1;
            portToTry = secondPort_;
            if (portToTry > 0) {
                LoggerHandled() = false;
                comPort_ = portToTry;
                p_.port.setSettings(kLineSettings9600);
                continue;
            }
        }
        break;
    }
    p_.port.close();
    endProgram();
}

bool OtterApp::handleLogger() {
    if (state_.NumReadings == 0 && !link_.ExtendedStatus) {
        std::string answer = p_.screen.inputBox(
            "There are no new readings available on the logger. Please specify the last number of readings to be "
            "downloaded.",
            "Bo Readings", "0");
        state_.NumReadings = leadingInt(answer);
    }
    bool written = true;
    beginCollection();
    if (state_.NumReadings > 0) {
        if (!CellConnected()) link_.SetBaudrate(1);
        written = link_.ExtendedStatus ? link_.GetRadioData() : link_.GetData();
        if (!CellConnected()) link_.SetBaudrate(0);
    }
    if (!written) {
        endCollection(false);
        // Readings that did not reach the disk must stay on the logger: no
        // clearing, and no date question that would suggest all went well.
        writeFailure_ = true;
        std::string which = link_.writeFailure.empty() ? (DumpFolder() / kDataFileName).string() : link_.writeFailure;
        p_.screen.messageBox("ERROR, The readings could not be written to " + which +
                                 "\r\rThe readings were left on the logger.",
                             "ERROR", Icon::Information, Buttons::Ok);
        return false;
    }
    const bool clearing = !state_.CommsError && state_.NumReadings > 0;
    if (clearing) link_.ClearReadings();
    endCollection(true);
    if (!state_.CommsError) {
        if (p_.screen.messageBox("Setting logger date to: " + formatDate(p_.clock.now(), "dd/mm/yyyy HH:MM"),
                                 "SET DATE", Icon::None, Buttons::YesNo))
            link_.SetLoggerDate();
    }
    return true;
}

// ---- Cell modem link ----

void OtterApp::collectWaiting() {
    if (!CollectText || !p_.port.isOpen()) return;
    // The receive event usually collects first; this catches a port that
    // reports arrivals late or not at all.
    if (p_.port.bytesWaiting() == 0) return;
    Bytes b = p_.port.readAll();
    CellText.append(b.begin(), b.end());
}

void OtterApp::waitMs(std::int64_t ms) {
    const std::int64_t deadline = p_.clock.monotonicMs() + ms;
    while (p_.clock.monotonicMs() < deadline) {
        p_.screen.yield();
        std::int64_t until = std::min(deadline, p_.clock.monotonicMs() + kSliceMs);
        if (CollectText && p_.port.isOpen()) {
            p_.port.waitForBytes(until);
            collectWaiting();
        } else {
            p_.clock.sleepUntil(until);
        }
    }
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

    std::string out = a == "+++" ? a : a + "\r\n";
    p_.port.write(ByteSpan(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));

    if (Resp1.empty()) Resp1 = "...........";
    if (Resp2.empty()) Resp2 = "...........";

    const std::int64_t deadline = p_.clock.monotonicMs() + (static_cast<std::int64_t>(tmr) + 1) * 1000;
    auto answered = [&] { return contains(CellText, Resp0) || contains(CellText, Resp1) || contains(CellText, Resp2); };
    while (!answered() && p_.clock.monotonicMs() < deadline) {
        p_.screen.yield();
        std::int64_t until = std::min(deadline, p_.clock.monotonicMs() + kSliceMs);
        if (p_.port.isOpen()) {
            p_.port.waitForBytes(until);
            collectWaiting();
        } else {
            p_.clock.sleepUntil(until);
        }
    }
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

void OtterApp::Cell_Disconnect() {
    p_.screen.showEvent("Cell disconnecting ...");
    p_.screen.yield();
    for (int i = 0; i < 10; ++i)
        if (Cell_Response("+++", "OK")) break;
    bool hungUp = false;
    for (int i = 0; i < 10 && !hungUp; ++i) hungUp = Cell_Response("ATH", "OK");
    if (!hungUp) {
        // A call left up costs money and blocks the line: not a clean run.
        commsFailure_ = true;
        p_.screen.showEvent("Cannot disconnected !!!!");
    } else {
        p_.screen.showEvent("Cell disconnected.");
        CellConnected() = false;
    }
    p_.screen.yield();
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
