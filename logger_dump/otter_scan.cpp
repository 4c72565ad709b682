#include "logger_dump/otter_scan.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "core/format.h"
#include "core/numbers.h"
#include "core/port_names.h"
#include "core/run_outcome.h"
#include "files/folder_lock.h"
#include "files/probe_files.h"
#include "files/running_file.h"

namespace kvr {

namespace {

constexpr const char* kLineSettings9600 = "9600,n,8,1";

}  // namespace

OtterApp::OtterApp(Platform& platform, std::filesystem::path programFolder, Options options)
    : p_(platform),
      folder_(std::move(programFolder)),
      options_(options),
      DumpFolder_(withTrailingSeparator(folder_)),
      events_(platform.screen, LoggerHandled_),
      link_(platform, state_, LoggerVariant::Otter(), &events_) {
    // A modem that could not be used leaves the status request failed.
    link_.cellRegistered = [this] { return Cell_Registered(); };
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
        if (ScanRate() != 0) return writeFailed_ ? 3 : 0;
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
        failed_ = true;
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
            failed_ = true;
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
        failed_ = true;
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
        link_.singleStatusAttempt = ScanRate() > 0;
        link_.GetStatus();
        RunOutcome out;
        if (state_.CommsError)
            out.linkLost = "status";
        else if (!LoggerHandled()) {
            const LocalTime start = p_.clock.now();
            out = downloadLogger();
            recordCollection(out, start);
        }
        if (CellConnected()) out.callLeftUp = !Cell_Disconnect();
        LoggerHandled() = out.complete();
        p_.port.close();
        if (closePort(out)) return;
        // Reaching the logger through the modem on the second port is a
        // success even though the first port found nothing.
        if (attempt == 1 && out.complete() && !out.callLeftUp) failed_ = false;
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

RunOutcome OtterApp::downloadLogger() {
    RunOutcome out;
    auto lostAt = [&](const char* step) {
        if (state_.CommsError && out.linkLost.empty()) out.linkLost = step;
    };
    if (state_.NumReadings == 0 && !link_.ExtendedStatus) {
        std::string answer = p_.screen.inputBox(
            "There are no new readings available on the logger. Please specify the last number of readings to be "
            "downloaded.",
            "Bo Readings", "0");
        p_.screen.yield();  // a window closed during the box ends the scan before any command
        state_.NumReadings = leadingInt(answer);
    }
    // Held until the running file is closed: whether it is new and gets a
    // header is decided under it.
    FolderLock folderLock;
    if (state_.NumReadings > 0 &&
        !folderLock.lock(DumpFolder(), folderLockWaitMs(p_.settings), p_.clock, p_.screen)) {
        out.folderBusy = folderBusyMessage(DumpFolder(), folderLockWaitMs(p_.settings));
        p_.screen.messageBox(out.folderBusy, "ERROR", Icon::Information, Buttons::Ok);
        return out;
    }
    if (state_.NumReadings > 0) {
        RunningFile file(DumpFolder());
        // The faster line is for a logger on the cable; a cell call keeps its speed.
        const bool fast = !CellConnected() && HighSpeed() != 0;
        if (fast) link_.SetBaudrate(1);
        const LoggerLink::Walk walk = link_.ExtendedStatus ? link_.GetRadioData(file) : link_.GetData(file);
        out.rows = file.rows();
        if (walk.ringInconsistent) {
            out.ring = RingInconsistency{state_.NextRecord, state_.EndRecord, state_.RecordSlots};
            p_.screen.messageBox("ERROR, The logger reported an inconsistent record ring (next record " +
                                     std::to_string(state_.NextRecord) + ", end record " +
                                     std::to_string(state_.EndRecord) + ", record slots " +
                                     std::to_string(state_.RecordSlots) + ").\r\rThe readings were left on the logger.",
                                 "ERROR", Icon::Information, Buttons::Ok);
        }
        if (!walk.kept)
            out.writeFailure = file.failure().empty() ? (DumpFolder() / kDataFileName).string() : file.failure();
        lostAt("download");
        if (fast) link_.SetBaudrate(0);
        lostAt("switching back to 9600 baud");
    }
    if (!out.writeFailure.empty()) {
        // Readings that did not reach the disk must stay on the logger: no
        // clearing, and no date question that would suggest all went well.
        p_.screen.messageBox("ERROR, The readings could not be written to " + out.writeFailure +
                                 "\r\rThe readings were left on the logger.",
                             "ERROR", Icon::Information, Buttons::Ok);
        return out;
    }
    if (!out.complete()) return out;
    if (state_.NumReadings > 0) {
        link_.ClearReadings();
        lostAt("clearing");
        out.cleared = out.linkLost.empty();
    }
    if (out.linkLost.empty() &&
        p_.screen.messageBox("Setting logger date to: " + formatDate(p_.clock.now(), "dd/mm/yyyy HH:MM"), "SET DATE",
                             Icon::None, Buttons::YesNo)) {
        link_.SetLoggerDate();
        lostAt("setting the clock");
        out.clockSet = out.linkLost.empty();
    }
    return out;
}

bool OtterApp::closePort(const RunOutcome& out) {
    if (!out.writeFailure.empty()) writeFailed_ = true;
    if (!out.folderBusy.empty()) folderBusy_ = true;
    // A call left up costs money and blocks the line: not a clean run.
    if (out.callLeftUp) failed_ = true;
    if (ScanRate() != 0) {
        // A resident Otter tries again at the next scan.
        p_.screen.showWindow(false);
        p_.screen.showEvent("");
        return true;
    }
    if (!out.complete()) failed_ = true;
    if (!out.linkLost.empty() || out.ring) {
        p_.screen.setLamp(0, Lamp::Off);
        p_.screen.yield();
        p_.screen.messageBox("ERROR, Data download not completed - No comms.", "ERROR", Icon::Information,
                             Buttons::Ok);
    }
    return false;
}

}  // namespace kvr
