// Otter's scan: the configuration file, the 150 ms timer that starts scans,
// one scan of the ports (status, download, clearing, clock) and the cellular
// modem dialogue that reaches a remote logger. Plain C++ over the platform
// interfaces; the window (or the console) is the Screen.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "core/link_state.h"
#include "core/platform.h"
#include "core/run_result.h"
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
    void Cell_Disconnect();
    void onPortEvent(PortEvent e);

    // Configuration and scan state. ScanRate, HighSpeed, DumpFolder,
    // LoggerHandled, CellConnected and CellWait live in the link, which
    // reads them during its exchanges; these accessors are the app's view.
    std::int16_t& HighSpeed() { return link_.HighSpeed; }
    std::int16_t& ScanRate() { return link_.ScanRate; }
    std::filesystem::path& DumpFolder() { return link_.DumpFolder; }
    bool& LoggerHandled() { return link_.LoggerHandled; }
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
    int exitStatus() const { return writeFailure_ ? 3 : (commsFailure_ || setupFailure_) ? 1 : 0; }
    bool writeFailed() const { return writeFailure_; }
    std::int64_t scansStarted() const { return scans_; }
    // The receipt of the last logger handled (start, device, readings, rows,
    // clearing); program and exit status are the caller's to fill.
    const RunResult& collection() const { return collection_; }

private:
    bool readConfig();               // steps 1..5; false ends the scan
    void errorPath(const std::string& errorText);
    void scanPorts();                // steps 6 on
    bool handleLogger();             // download, clear, date; false: rows not written
    void waitMs(std::int64_t ms);    // yields on every pass
    void collectWaiting();
    void hangUpOnClose();
    void endProgram() { ended_ = true; }
    void beginCollection();
    void endCollection(bool written);

    Platform& p_;
    std::filesystem::path folder_;
    Options options_;
    LinkState state_;
    LoggerLink link_;
    int firstPort_ = 0;
    int secondPort_ = 0;
    int comPort_ = 1;  // the port control's number before any file names one
    bool ended_ = false;
    bool commsFailure_ = false;
    bool writeFailure_ = false;
    bool setupFailure_ = false;
    bool inHandler_ = false;
    std::int64_t scans_ = 0;
    RunResult collection_;
    std::uintmax_t dataSizeBefore_ = 0;
};

}  // namespace kvr
