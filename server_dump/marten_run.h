// Marten's one download run: find what is on the serial port (logger,
// probe server or modem), download the new readings into the probe data
// files, set the device clock, clear the device, hang up, report and end.
//
// The run is plain blocking code; the window (or the console) is reached
// only through the Screen. The program's end is a return from tmr_Timer
// with the exit status, never exit().
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/link_state.h"
#include "core/lowbatt.h"
#include "core/platform.h"
#include "core/run_outcome.h"
#include "core/run_result.h"
#include "files/folder_lock.h"
#include "files/probe_files.h"
#include "logger_link/logger_link.h"
#include "server_dump/marten_modem.h"
#include "server_link/server_link.h"

namespace kvr {

class MartenRun {
public:
    // speedOption: the window's option pair, shared with the window; null
    // gives the run an option of its own (unattended runs, tests).
    MartenRun(Platform& platform, std::filesystem::path programFolder, std::atomic<int>* speedOption = nullptr);

    // Restores the speed option from the settings store.
    void Form_Load();
    // Opens the port named by the "Port" setting, asking the user while it
    // is unknown or fails to open. Throws RunEnd when the user gives no number.
    void OpenPort();
    // The whole run. Returns the exit status: 3 when a file could not be
    // written; else 0 after a run without a communications failure or an
    // inconsistent record ring; 1 otherwise (also when the user gave no port
    // or closed the window). A second call while a run is on returns
    // kAlreadyRunning.
    int tmr_Timer();
    // Window close: stores the speed option, closes the port and the files.
    void Form_Unload();

    static constexpr int kAlreadyRunning = -1;
    // Connection attempts before the run gives up. A person retries a few
    // times; an unattended run whose "No Comms" answer is the same port
    // again would otherwise retry for ever.
    static constexpr int kMaxConnectionPasses = 20;
    bool limitConnectionPasses = true;

    // The speed option pair: 0 "Lo", 1 "Hi". The window writes it when the
    // user clicks and reads it after Form_Load; the run reads it while it
    // downloads, from another thread, hence atomic.
    std::atomic<int>& optSpeed;
    bool speedIsLo() const { return optSpeed.load() != 1; }

    // Run state.
    bool InRun = false;
    bool LoggerMode = false;
    std::int16_t Port = 0;
    LinkState link;
    LowBatteryList low;
    ServerLink server;
    LoggerLink logger;
    MartenModem modem;
    RunFiles files;
    FolderLock folderLock;

    // What the last run left, for the window and the tests.
    RunOutcome outcome;
    std::int32_t loaded = 0;  // records asked for in the record-by-record walk

private:
    int runSteps();
    RunOutcome download();
    void connect();
    bool checkRing(RunOutcome& out);
    void reload(RunOutcome& out);
    void downloadFiles(RunOutcome& out);
    void walkServerRing(RunOutcome& out);
    void downloadLogger(RunOutcome& out);
    void setDeviceClock(RunOutcome& out);
    void clearDevice(RunOutcome& out);
    void lostAt(RunOutcome& out, const char* step);
    void closeFiles();
    void showProgress(std::int64_t count);

    std::atomic<int> ownSpeed_{0};
    Platform& p_;
    std::filesystem::path folder_;
    std::int64_t rowsWritten_ = 0;
};

// Marten's closing boxes for a run's outcome (write failure, inconsistent
// ring, lost link, low batteries); returns the exit status.
int closeMartenRun(Screen& screen, const RunOutcome& outcome, const LowBatteryList& low);

// Marten from start to end: with a window (speedOption given) the window
// has restored the speed option itself; without one, Form_Load does it.
// Returns the exit status.
// `result`, when given, receives the run's receipt.
int runMarten(Platform& platform, const std::filesystem::path& programFolder, std::atomic<int>* speedOption,
              RunResult* result = nullptr);
// The receipt of a finished run that started at `start` and ended with `status`.
void describeMartenRun(const MartenRun& run, LocalTime start, int status, RunResult& out);

// The speed option stored in the settings store: 1 for "Hi", else 0.
int storedSpeedOption(Settings& settings);

// Texts of the messages Marten adds for outcomes that keep the readings on
// the device.
std::string writeFailureMessage(const std::string& failure);
std::string inconsistentRingMessage(std::int32_t next, std::int32_t end, std::int32_t slots);

}  // namespace kvr
