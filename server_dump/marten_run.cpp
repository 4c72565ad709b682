#include "server_dump/marten_run.h"

#include <algorithm>

#include "core/devtime.h"
#include "core/numbers.h"
#include "core/port_names.h"
#include "server_dump/run_end.h"

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
    server.files = &files;
    server.lowList = &low;
    logger.speedIsLo = [this] { return speedIsLo(); };
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

void MartenRun::reload() {
    const std::string answer = p_.screen.inputBox(
        "There are no new readings on the server. Specify the number of readings you want to reload.",
        "No Readings", "");
    link.NumReadings = leadingInt(answer);
    if (LoggerMode) return;
    if (link.RecordSlots <= 0) {
        // No ring to count back in: wrapping would never end.
        if (link.NumReadings >= 1) ringInconsistent = true;
        return;
    }
    // The newest NumReadings records, wrapping through the start of the
    // ring as often as needed (a count above the ring size wraps again).
    std::int64_t next = static_cast<std::int64_t>(link.EndRecord) - link.NumReadings;
    if (next < 0) next = ((next % link.RecordSlots) + link.RecordSlots) % link.RecordSlots;
    link.NextRecord = static_cast<std::int32_t>(next);
}

void MartenRun::showProgress(std::int64_t count) {
    if (link.NumReadings <= 0) return;
    const std::int64_t pct = count * 100 / link.NumReadings;
    // A bar beyond its range is left as it is.
    if (pct >= 0 && pct <= 100) p_.screen.setProgress(static_cast<int>(pct));
}

void MartenRun::walkServerRing() {
    const std::int32_t next0 = link.NextRecord, end0 = link.EndRecord, slots0 = link.RecordSlots;
    std::int64_t count = 0;
    while (!link.CommsError && link.NextRecord != link.EndRecord) {
        // Status values are the device's word: a ring position at or beyond
        // the ring size would never meet EndRecord. No consistent ring needs
        // more than RecordSlots records to reach its end.
        if (count >= link.RecordSlots) {
            ringInconsistent = true;
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
    if (ringInconsistent) {
        link.NextRecord = next0;  // for the message: what the server said
        link.EndRecord = end0;
        link.RecordSlots = slots0;
    }
}

void MartenRun::downloadLogger() {
    // The user may flip the speed option during the download; switching
    // back must follow what was switched up, or logger and port would stay
    // at 56000 baud and the next run would find no logger at 9600.
    const bool lo = speedIsLo();
    logger.speedIsLo = [lo] { return lo; };
    logger.SetBaudrate(1);
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
        logger.GetData(i, files, low);
    }
    // Switching back to 9600 is an exchange of its own and may succeed; the
    // download's failure must survive it, or a logger with readings missing
    // from the files would be cleared.
    const bool failed = link.CommsError;
    logger.SetBaudrate(0);
    if (failed) link.CommsError = true;
    logger.speedIsLo = [this] { return speedIsLo(); };
}

void MartenRun::download() {
    if (!files.open(folder_, Program::Marten, p_.clock.now())) {
        writeFailed = true;
        writeFailure_ = files.failureText();
    }
    if (LoggerMode)
        downloadLogger();
    else if (speedIsLo())
        walkServerRing();
    else
        server.DumpAll();
    const bool ok = files.close() && files.ok();
    if (!ok && !writeFailed) {
        writeFailed = true;
        writeFailure_ = files.failureText();
    }
}

void MartenRun::setDeviceClock() {
    p_.screen.showEvent("Setting server date ...");
    if (LoggerMode) {
        logger.SetLoggerDate();
    } else {
        const std::uint32_t t = static_cast<std::uint32_t>(toServerUnits(p_.clock.now()));
        server.v5Add(10);
        server.v5Add(static_cast<std::uint8_t>(t >> 24));
        server.v5Add(static_cast<std::uint8_t>(t >> 16));
        server.v5Add(static_cast<std::uint8_t>(t >> 8));
        server.v5Add(static_cast<std::uint8_t>(t));
        server.v5Transmit();
    }
    p_.screen.showEvent("Server date set");
}

void MartenRun::clearDevice() {
    p_.screen.showEvent("Clearing server readings ...");
    if (LoggerMode) {
        for (int b : {3, 0, 0, 0, 0}) logger.TxAdd(b);
        std::int16_t answerLength = 14;
        logger.Transmit(answerLength, false, 0);
    } else {
        server.v5Add(9);
        server.v5Transmit();
    }
    p_.screen.showEvent("Server readings cleared");
}

void MartenRun::closeFiles() {
    if (files.isOpen()) files.close();
}

int MartenRun::runSteps() {
    low.clear();
    link.CommsError = true;
    LoggerMode = false;
    writeFailed = ringInconsistent = false;
    loaded = 0;

    connect();

    if (link.NumReadings == 0) reload();
    if (link.NumReadings >= 1 && !ringInconsistent) download();

    if (!link.CommsError) setDeviceClock();
    // The device forgets its readings only when every one of them is safe
    // on the disk and the ring walk was not cut short.
    if (!link.CommsError && !writeFailed && !ringInconsistent) clearDevice();

    if (server.ModemOnline == 1) modem.ModemDisconnect();
    closeFiles();
    p_.port.close();

    if (writeFailed)
        p_.screen.messageBox(writeFailureMessage(writeFailure_), "ERROR", Icon::Information, Buttons::Ok);
    if (ringInconsistent)
        p_.screen.messageBox(inconsistentRingMessage(link.NextRecord, link.EndRecord, link.RecordSlots), "ERROR",
                             Icon::Information, Buttons::Ok);
    const bool commsLost = link.CommsError;
    if (commsLost)
        p_.screen.messageBox(
            "The data download could not be completed. The communications to the server has been lost.",
            "NO COMMS", Icon::Information, Buttons::Ok);
    const std::string lowText = low.reportText();
    if (!lowText.empty()) p_.screen.messageBox(lowText, LowBatteryList::reportTitle(), Icon::Information, Buttons::Ok);

    Form_Unload();
    if (writeFailed) return kExitWriteFailure;
    return (commsLost || ringInconsistent) ? kExitCommsFailure : kExitOk;
}

}  // namespace kvr
