// Command-line options shared by the three programs. Without options a
// program behaves exactly as its window does.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kvr {

struct AppOptions {
    std::filesystem::path folder;   // --folder DIR; default: the executable's folder
    bool unattended = false;        // --unattended: no window, console screen
    std::vector<std::pair<std::string, std::string>> answers;  // --answer "TITLE=TEXT"
    bool folderGiven = false;       // --folder was on the command line
    std::string traceFile;          // --trace FILE
    std::string port;               // --port DEVICE: the serial port for this run only
    int portNumber = 0;             // the number --port maps to (set by the program)
    bool listPorts = false;         // --list-ports
    bool help = false;              // --help
    bool version = false;           // --version
};

// What a program offers beyond the common options.
struct ProgramOptionsInfo {
    bool serialPort = true;   // --port and --list-ports
    std::string extraHelp;    // lines of the program's own options, for --help
};

// Parses argv. On a bad option returns false with a message in error.
// exeFolder is used when --folder is absent.
bool parseAppOptions(int argc, char** argv, const std::filesystem::path& exeFolder, AppOptions& out,
                     std::string& error, bool serialPort = true);

// Usage text for --help.
std::string appOptionsHelp(const std::string& program, const ProgramOptionsInfo& info = {});

// "<program> <version>" for --version.
std::string appVersionText(const std::string& program);

// Exit statuses of every program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitCommsFailure = 1;
inline constexpr int kExitBadOption = 2;
inline constexpr int kExitWriteFailure = 3;
inline constexpr int kExitFolderLocked = 4;

}  // namespace kvr
