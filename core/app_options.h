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
    std::string traceFile;          // --trace FILE
    bool help = false;              // --help
};

// Parses argv. On a bad option returns false with a message in error.
// exeFolder is used when --folder is absent.
bool parseAppOptions(int argc, char** argv, const std::filesystem::path& exeFolder, AppOptions& out,
                     std::string& error);

// Usage text for --help.
std::string appOptionsHelp(const std::string& program);

}  // namespace kvr
