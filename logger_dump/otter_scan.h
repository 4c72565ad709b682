// Otter's scan: the 150 ms timer that starts scans, reading the
// configuration at each scan, one scan of the ports (status, download,
// clearing, clock) and the cellular modem that reaches a remote logger
// (otter_scan.cpp, otter_cell_modem.cpp; the file format is otter_config.h).
// Plain C++ over the platform interfaces; the window (or the console) is
// the Screen.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "core/link_state.h"
#include "core/platform.h"
#include "core/run_outcome.h"
#include "core/run_result.h"
#include "files/folder_lock.h"
#include "logger_dump/otter_config.h"
#include "logger_link/logger_link.h"

namespace kvr {

inline constexpr std::int64_t kOtterTickMs = 150;

class OtterApp {
public:
    struct Options {
        // Unattended single runs cannot wait for the user to mend the file or
        // the port: a scan that could not start ends the program (status 1)
        // instead of being repeated on every tick.
        bool endOnSetupFailure = false;
        // --port: the "Coms port" for this run, whatever the file says (0: the file's).
        int comsPort = 0;
        // Called after each logger a resident Otter handled, with its receipt.
        std::function<void(const RunResult&)> onCollection;
    };

    OtterApp(Platform& platform, std::filesystem::path programFolder, Options options);
    OtterApp(Platform& platform, std::filesystem::path programFolder) : OtterApp(platform, std::move(programFolder), Options{}) {}
    ~OtterApp();
    OtterApp(const OtterApp&) = delete;
    OtterApp& operator=(const OtterApp&) = delete;

    // The whole program after the window was created: window load, then the
    // timer until the program ends. Returns the exit status (0 when every
    // run ended without a communications or write failure). Closing the
    // window (ProgramEnd) closes the port; in resident mode that is the
    // normal way to stop and gives 0 unless a write failed.
    int run();

    // Pieces, public for the window and tests.
    void Form_Load();
    void tmr_Timer();
    void IniComms();

    bool Cell_Response(const std::string& a, const std::string& Resp0, std::string Resp1 = {},
                       std::string Resp2 = {}, std::int16_t tmr = 0);
    bool Cell_Registered();
    bool Cell_Connected();
    // True once the call is down.
    bool Cell_Disconnect();
    void onPortEvent(PortEvent e);

    // Configuration and scan state. CellConnected and CellWait live in the
    // link, whose exchanges depend on them; these accessors are the scan's view.
    std::int16_t& HighSpeed() { return HighSpeed_; }
    std::int16_t& ScanRate() { return ScanRate_; }
    std::filesystem::path& DumpFolder() { return DumpFolder_; }
    bool& LoggerHandled() { return LoggerHandled_; }
    bool& CellConnected() { return link_.CellConnected; }
    float& CellWait() { return link_.CellWait; }
    std::string PinCode;
    std::string TelNumber;
    std::int64_t LastTick = 0;   // monotonic ms of the previous tick
    double Elapsed = 0;          // seconds since the last scan started
    bool ScanBusy = false;
    std::string CellText;
    bool CollectText = false;

    LinkState& link() { return state_; }
    LoggerLink& loggerLink() { return link_; }
    // Ports read from the file at the last scan.
    int firstPort() const { return firstPort_; }
    int secondPort() const { return secondPort_; }
    int comPort() const { return comPort_; }

    bool programEnded() const { return ended_; }
    int exitStatus() const {
        if (folderBusy_) return kFolderBusyStatus;
        return writeFailed_ ? 3 : failed_ ? 1 : 0;
    }
    bool writeFailed() const { return writeFailed_; }
    std::int64_t scansStarted() const { return scans_; }
    // The receipt of the last logger handled (start, device, readings, rows,
    // clearing); program and exit status are the caller's to fill.
    const RunResult& collection() const { return collection_; }

private:
    bool readConfig();               // steps 1..5; false ends the scan
    void errorPath(const std::string& errorText);
    void scanPorts();                // steps 6 on
    RunOutcome downloadLogger();     // download, clear, date
    // Otter's closing of one port's outcome: the box of a single run and the
    // exit status. True when a resident scan ends here.
    bool closePort(const RunOutcome& out);
    void waitMs(std::int64_t ms);    // yields on every pass
    void collectWaiting();
    void hangUpOnClose();
    void endProgram() { ended_ = true; }
    // Keeps the receipt of a logger handled from `start` (and hands it on
    // when resident).
    void recordCollection(const RunOutcome& out, LocalTime start);

    // The window shows itself when a logger answers, unless this logger was
    // handled already (a resident Otter stays hidden for a logger it knows).
    class Events : public ScreenEvents {
    public:
        Events(Screen& screen, const bool& handled) : ScreenEvents(screen), screen_(screen), handled_(handled) {}
        void loggerFound() override {
            if (!handled_) screen_.showWindow(true);
        }

    private:
        Screen& screen_;
        const bool& handled_;
    };

    Platform& p_;
    std::filesystem::path folder_;
    Options options_;
    std::int16_t HighSpeed_ = 0;
    std::int16_t ScanRate_ = 0;
    std::filesystem::path DumpFolder_;
    bool LoggerHandled_ = false;
    Events events_;
    LinkState state_;
    LoggerLink link_;
    int firstPort_ = 0;
    int secondPort_ = 0;
    int comPort_ = 1;  // the port control's number before any file names one
    bool ended_ = false;
    bool failed_ = false;       // a run, a hang-up or the setup did not complete
    bool writeFailed_ = false;  // rows did not reach the disk
    bool folderBusy_ = false;   // another run kept the folder locked
    bool inHandler_ = false;
    std::int64_t scans_ = 0;
    RunResult collection_;
};

}  // namespace kvr
