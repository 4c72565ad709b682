#include "server_dump/marten_run.h"

#include <algorithm>

#include "core/devtime.h"
#include "core/numbers.h"
#include "core/port_names.h"
#include "files/record_rows.h"
#include "server_dump/run_end.h"
#include "server_link/server_frame.h"

namespace kvr {

namespace {

constexpr const char* kApp = "NVA5";
constexpr const char* kSection = "Startup";
constexpr std::int32_t kLastLoggerBlock = 32767;
constexpr const char* kPortPrompt = "Please enter the serial port number the KVR Probe Server is connected to.";

std::int16_t toPort(std::int32_t n) {
    // A port number outside the 16-bit range names no port; it is kept
    // non-zero so that opening fails and the user is asked again.
    if (n > 32767 || n < -32768) return -1;
    return static_cast<std::int16_t>(n);
}

// Records from `from` up to `to` in a ring of `slots` positions.
std::int32_t ringDistance(std::int32_t from, std::int32_t to, std::int32_t slots) {
    return static_cast<std::int32_t>(((std::int64_t{to} - from) % slots + slots) % slots);
}

}  // namespace

std::string writeFailureMessage(const std::string& failure) {
    return "The readings could not be written to " + failure + ".\r" +
           "The readings have been left on the unit; it was not cleared.";
}

std::string inconsistentRingMessage(std::int32_t next, std::int32_t end, std::int32_t slots) {
    return "The server reported an inconsistent record ring (next record " + std::to_string(next) +
           ", end record " + std::to_string(end) + ", record slots " + std::to_string(slots) + ").\r" +
           "The readings have been left on the server; it was not cleared.";
}

MartenRun::MartenRun(Platform& platform, std::filesystem::path programFolder, std::atomic<int>* speedOption)
    : optSpeed(speedOption ? *speedOption : ownSpeed_),
      server(platform, link),
      logger(platform, link, LoggerVariant::Marten()),
      modem(platform, server.ModemOnline),
      p_(platform),
      folder_(std::move(programFolder)) {
    server.sink = [this](const DecodedRecord& rec) {
        writeRecord(rec, files, low);
        if (rec.cls != RecordClass::Skipped) ++rowsWritten_;
    };
}

int storedSpeedOption(Settings& settings) {
    // Anything but "1" (also garbage) selects "Lo": the slow download works
    // with every server, the bulk one only with those that support it.
    return leadingInt(settings.get(kApp, kSection, "Speed", "0")) == 1 ? 1 : 0;
}

int runMarten(Platform& platform, const std::filesystem::path& programFolder, std::atomic<int>* speedOption,
              RunResult* result) {
    MartenRun run(platform, programFolder, speedOption);
    // A person at the window keeps being offered the port box; only an
    // unattended run, whose answers never change, gives up.
    run.limitConnectionPasses = speedOption == nullptr;
    if (!speedOption) run.Form_Load();
    const LocalTime start = platform.clock.now();
    const int status = run.tmr_Timer();
    if (result) {
        describeMartenRun(run, start, status, *result);
        result->end = platform.clock.now();
    }
    return status;
}

void MartenRun::Form_Load() { optSpeed = storedSpeedOption(p_.settings); }

void MartenRun::Form_Unload() {
    p_.settings.set(kApp, kSection, "Speed", speedIsLo() ? "0" : "1");
    p_.port.close();
    closeFiles();
}

void MartenRun::OpenPort() {
    p_.screen.showEvent("Opening serial port ...");
    Port = toPort(leadingInt(p_.settings.get(kApp, kSection, "Port", "0")));
    if (Port == 0) {
        Port = toPort(portFromAnswer(p_.settings, p_.screen.portBox(kPortPrompt, "Serial Port", "")));
        if (Port == 0) throw RunEnd{1};
    }
    for (;;) {
        // Stored as unknown while trying, so a program that dies here asks
        // for the port next time instead of retrying a bad one.
        p_.settings.set(kApp, kSection, "Port", "0");
        p_.screen.setLed(0, 'R');
        p_.screen.setLed(1, 'R');
        if (p_.port.isOpen()) p_.port.close();
        std::string error;
        const bool opened = p_.port.open(Port, error) && p_.port.isOpen();
        if (opened) {
            p_.screen.setLed(0, 'N');
            p_.screen.setLed(1, 'N');
            p_.settings.set(kApp, kSection, "Port", std::to_string(Port));
            p_.screen.showEvent("Opened com" + std::to_string(Port) + " OK");
            return;
        }
        const std::string prompt = "Cannot open com" + std::to_string(Port) + "\r" + error + "\r" + kPortPrompt;
        Port = toPort(portFromAnswer(p_.settings, p_.screen.portBox(prompt, "ERROR", "")));
        if (Port == 0) throw RunEnd{1};
    }
}

int MartenRun::tmr_Timer() {
    if (InRun) return kAlreadyRunning;
    InRun = true;
    try {
        return runSteps();
    } catch (const ProgramEnd&) {
        // The window was closed: end as the window's close does.
        Form_Unload();
        return 1;
    } catch (const RunEnd& e) {
        // Also the way out when the window was closed while a box was open
        // (the box then answers as cancelled): the user's speed choice is
        // kept on every end.
        Form_Unload();
        return e.status;
    }
}

void MartenRun::connect() {
    for (int pass = 1; link.CommsError; ++pass) {
        p_.screen.yield();
        p_.screen.nextDumpImg();
        OpenPort();
        logger.GetStatus();
        if (link.CommsError)
            server.v5GetStatus();
        else
            LoggerMode = true;
        if (!link.CommsError) break;
        if (modem.DetectAndDial(server, link) == MartenModem::Dial::Connected) break;
        const std::string answer = p_.screen.portBox(
            "Cannot connect to server, no comms.\rMake sure the server is plugged in and is switched on. "
            "Also make sure that the correct serial port number is specified.",
            "No Comms", std::to_string(Port));
        Port = toPort(portFromAnswer(p_.settings, answer));
        if (Port == 0) throw RunEnd{1};
        p_.settings.set(kApp, kSection, "Port", std::to_string(Port));
        if (limitConnectionPasses && pass >= kMaxConnectionPasses) {
            p_.screen.showEvent("No device answered in " + std::to_string(pass) + " attempts, giving up");
            throw RunEnd{1};
        }
    }
}

void MartenRun::lostAt(RunOutcome& out, const char* step) {
    if (link.CommsError && out.linkLost.empty()) out.linkLost = step;
}

void MartenRun::reload(RunOutcome& out) {
    const std::string answer = p_.screen.inputBox(
        "There are no new readings on the server. Specify the number of readings you want to reload.",
        "No Readings", "");
    // A window closed while the box was open ends the run here, before the
    // clock or clear command goes out.
    p_.screen.yield();
    link.NumReadings = leadingInt(answer);
    if (LoggerMode) return;
    if (link.RecordSlots <= 0) {
        // No ring to count back in: wrapping would never end.
        if (link.NumReadings >= 1) out.ring = RingInconsistency{link.NextRecord, link.EndRecord, link.RecordSlots};
        return;
    }
    // The newest NumReadings records, wrapping through the start of the
    // ring as often as needed (a count above the ring size wraps again).
    std::int64_t next = static_cast<std::int64_t>(link.EndRecord) - link.NumReadings;
    if (next < 0) next = ((next % link.RecordSlots) + link.RecordSlots) % link.RecordSlots;
    link.NextRecord = static_cast<std::int32_t>(next);
    // What the walk from there fetches, which the stream must fetch too: at
    // most a ring, never a record twice.
    if (link.NumReadings > 0) link.NumReadings = ringDistance(link.NextRecord, link.EndRecord, link.RecordSlots);
}

bool MartenRun::checkRing(RunOutcome& out) {
    const RingInconsistency given{link.NextRecord, link.EndRecord, link.RecordSlots};
    const std::int32_t slots = link.RecordSlots;
    // Status values are the device's word: a pointer outside the ring would
    // have the walk (or the stream's back-fill) fetch the whole ring, stale
    // records included, so nothing is read at all.
    if (slots <= 0 || link.NextRecord < 0 || link.NextRecord >= slots || link.EndRecord < 0 ||
        link.EndRecord >= slots) {
        out.ring = given;
        return false;
    }
    // A count that disagrees with the ring: both speeds fetch the records
    // from NextRecord to EndRecord, and the server keeps them, as it cannot
    // be told which of its two numbers was right.
    const std::int32_t distance = ringDistance(link.NextRecord, link.EndRecord, slots);
    if (link.NumReadings != distance) {
        out.ring = given;
        link.NumReadings = distance;
    }
    return true;
}

void MartenRun::showProgress(std::int64_t count) {
    if (link.NumReadings <= 0) return;
    const std::int64_t pct = count * 100 / link.NumReadings;
    // A bar beyond its range is left as it is.
    if (pct >= 0 && pct <= 100) p_.screen.setProgress(static_cast<int>(pct));
}

void MartenRun::walkServerRing(RunOutcome& out) {
    const RingInconsistency given{link.NextRecord, link.EndRecord, link.RecordSlots};
    std::int64_t count = 0;
    while (!link.CommsError && link.NextRecord != link.EndRecord) {
        // Status values are the device's word: a ring position at or beyond
        // the ring size would never meet EndRecord. No consistent ring needs
        // more than RecordSlots records to reach its end.
        if (count >= link.RecordSlots) {
            out.ring = given;  // for the message: what the server said
            p_.screen.showEvent("Inconsistent record ring, stopped after " + std::to_string(count) + " readings");
            break;
        }
        ++count;
        showProgress(count);
        p_.screen.showEvent("Loading reading " + std::to_string(count) + "/" + std::to_string(link.NumReadings));
        server.GetReading(link.NextRecord);
        ++loaded;
        ++link.NextRecord;
        if (link.NextRecord == link.RecordSlots) link.NextRecord = 0;
    }
}

void MartenRun::downloadLogger(RunOutcome& out) {
    // The user may flip the speed option during the download; switching
    // back must follow what was switched up, or logger and port would stay
    // at 56000 baud and the next run would find no logger at 9600.
    const bool hi = !speedIsLo();
    if (hi) logger.SetBaudrate(1);
    lostAt(out, "switching to 56000 baud");
    // Reading i lives in block i + 63 and block numbers are 16-bit: a reload
    // count beyond that would only walk through unaddressable blocks.
    const std::int32_t last = std::min<std::int32_t>(link.NumReadings, kLastLoggerBlock - 63);
    for (std::int32_t i = 1; i <= last; ++i) {
        p_.screen.nextDumpImg();
        showProgress(i);
        p_.screen.yield();
        p_.screen.showEvent("Loading reading " + std::to_string(i) + "/" + std::to_string(link.NumReadings));
        // After a failed exchange nothing more is fetched; stop rather than
        // count through the rest (a reload count may be huge).
        if (link.CommsError) break;
        logger.GetData(i, server.sink);
    }
    lostAt(out, "download");
    // Readings past the last addressable block were never read: the download
    // is incomplete and the logger must keep them.
    if (link.NumReadings > last && out.linkLost.empty()) out.linkLost = "download past the last block";
    // Switching back is an exchange of its own: its success cannot undo a
    // failed download, which the outcome already holds.
    if (hi) logger.SetBaudrate(0);
    lostAt(out, "switching back to 9600 baud");
}

void MartenRun::downloadFiles(RunOutcome& out) {
    // The header of a new running file and the dump rotation are decided
    // under the lock, so two runs cannot both write them.
    if (!folderLock.lock(folder_, folderLockWaitMs(p_.settings), p_.clock, p_.screen)) {
        out.folderBusy = folderBusyMessage(folder_, folderLockWaitMs(p_.settings));
        return;
    }
    if (!files.open(folder_, Program::Marten, p_.clock.now())) out.writeFailure = files.failureText();
    if (LoggerMode)
        downloadLogger(out);
    else if (speedIsLo())
        walkServerRing(out);
    else
        server.DumpAll();
    lostAt(out, "download");
    const bool ok = files.close() && files.ok();
    if (!ok && out.writeFailure.empty()) out.writeFailure = files.failureText();
    folderLock.unlock();
}

void MartenRun::setDeviceClock(RunOutcome& out) {
    p_.screen.showEvent("Setting server date ...");
    if (LoggerMode) {
        logger.SetLoggerDate();
    } else {
        server.request(server::setClockCommand(static_cast<std::uint32_t>(toServerUnits(p_.clock.now()))));
    }
    p_.screen.showEvent("Server date set");
    lostAt(out, "setting the clock");
    out.clockSet = !link.CommsError;
}

void MartenRun::clearDevice(RunOutcome& out) {
    p_.screen.showEvent("Clearing server readings ...");
    if (LoggerMode) {
        logger.request(logger::clearCommand());
    } else {
        server.request(server::clearCommand());
    }
    p_.screen.showEvent("Server readings cleared");
    lostAt(out, "clearing");
    out.cleared = !link.CommsError;
}

void MartenRun::closeFiles() {
    if (files.isOpen()) files.close();
    folderLock.unlock();
}

RunOutcome MartenRun::download() {
    RunOutcome out;
    low.clear();
    link.CommsError = true;
    LoggerMode = false;
    loaded = 0;
    rowsWritten_ = 0;

    connect();

    const bool ringUsable = LoggerMode || checkRing(out);
    if (link.NumReadings == 0 && !out.ring) reload(out);
    if (link.NumReadings >= 1 && ringUsable) downloadFiles(out);
    out.rows = rowsWritten_;

    if (out.linkLost.empty() && out.folderBusy.empty()) setDeviceClock(out);
    // The device forgets its readings only when every one of them is safe
    // on the disk and the ring walk was not cut short.
    if (out.complete()) clearDevice(out);

    if (server.ModemOnline == 1) modem.ModemDisconnect();
    closeFiles();
    p_.port.close();
    return out;
}

int MartenRun::runSteps() {
    outcome = download();
    const int status = closeMartenRun(p_.screen, outcome, low);
    Form_Unload();
    return status;
}

int closeMartenRun(Screen& screen, const RunOutcome& outcome, const LowBatteryList& low) {
    if (!outcome.folderBusy.empty())
        screen.messageBox(outcome.folderBusy, "ERROR", Icon::Information, Buttons::Ok);
    if (!outcome.writeFailure.empty())
        screen.messageBox(writeFailureMessage(outcome.writeFailure), "ERROR", Icon::Information, Buttons::Ok);
    if (outcome.ring)
        screen.messageBox(inconsistentRingMessage(outcome.ring->nextRecord, outcome.ring->endRecord, outcome.ring->recordSlots), "ERROR",
                          Icon::Information, Buttons::Ok);
    if (!outcome.linkLost.empty())
        screen.messageBox(
            "The data download could not be completed. The communications to the server has been lost.",
            "NO COMMS", Icon::Information, Buttons::Ok);
    const std::string lowText = low.reportText();
    if (!lowText.empty()) screen.messageBox(lowText, LowBatteryList::reportTitle(), Icon::Information, Buttons::Ok);
    if (!outcome.folderBusy.empty()) return kFolderBusyStatus;
    if (!outcome.writeFailure.empty()) return kExitWriteFailure;
    return outcome.complete() ? kExitOk : kExitCommsFailure;
}

}  // namespace kvr
