#include "core/app_options.h"

#include <string_view>

namespace kvr {

namespace {

// "--name VALUE" or "--name=VALUE". Returns true when arg is this option;
// value is then set or error filled.
bool takeValue(std::string_view name, int argc, char** argv, int& i, std::string& value, std::string& error,
               bool& matched) {
    std::string_view arg = argv[i];
    matched = false;
    if (arg == name) {
        matched = true;
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return false;
        }
        value = argv[++i];
        return true;
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        matched = true;
        value = std::string(arg.substr(name.size() + 1));
        return true;
    }
    return true;
}

std::string lowerName(const std::string& program) {
    std::string s = program;
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

bool parseAppOptions(int argc, char** argv, const std::filesystem::path& exeFolder, AppOptions& out,
                     std::string& error, bool serialPort) {
    AppOptions opts;
    opts.folder = exeFolder;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string value;
        bool matched = false;
        if (arg == "--help" || arg == "-h") {
            opts.help = true;
            continue;
        }
        if (arg == "--version") {
            opts.version = true;
            continue;
        }
        if (arg == "--unattended") {
            opts.unattended = true;
            continue;
        }
        if (serialPort && arg == "--list-ports") {
            opts.listPorts = true;
            continue;
        }
        if (serialPort) {
            if (!takeValue("--port", argc, argv, i, value, error, matched)) return false;
            if (matched) {
                if (value.empty()) {
                    error = "--port needs a device or a port number";
                    return false;
                }
                opts.port = value;
                continue;
            }
        }
        if (!takeValue("--folder", argc, argv, i, value, error, matched)) return false;
        if (matched) {
            if (value.empty()) {
                error = "--folder needs a folder";
                return false;
            }
            opts.folder = value;
            opts.folderGiven = true;
            continue;
        }
        if (serialPort && !takeValue("--trace", argc, argv, i, value, error, matched)) return false;
        if (matched) {
            if (value.empty()) {
                error = "--trace needs a file name";
                return false;
            }
            opts.traceFile = value;
            continue;
        }
        if (!takeValue("--answer", argc, argv, i, value, error, matched)) return false;
        if (matched) {
            // Titles never contain "=", answers may ("a=b" answers box "a" with "b").
            const auto eq = value.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = "--answer needs TITLE=TEXT, got \"" + value + "\"";
                return false;
            }
            opts.answers.emplace_back(value.substr(0, eq), value.substr(eq + 1));
            continue;
        }
        error = "unknown option \"" + std::string(arg) + "\"";
        return false;
    }
    out = std::move(opts);
    return true;
}

std::string appOptionsHelp(const std::string& program, const ProgramOptionsInfo& info) {
    std::string h = "Usage: " + lowerName(program) +
                    " [options]\n"
                    "Without options the program opens its window and runs as usual.\n"
                    "\n"
                    "Options:\n"
                    "  --folder DIR         program folder (data files, configuration); default: the\n"
                    "                       folder of the executable, or $XDG_DATA_HOME/kvr-probe/" +
                    lowerName(program) +
                    "\n"
                    "                       when that folder is not writable\n"
                    "  --unattended         no window: status texts go to standard error, one line each\n"
                    "                       with the local time in front (repeated progress lines at\n"
                    "                       most once a second); message and input boxes go to standard\n"
                    "                       output as one JSON object per line and are answered from\n"
                    "                       --answer; the run ends with one {\"result\": ...} line on\n"
                    "                       standard output, also appended to \"KVR Collections.log\" in\n"
                    "                       the program folder\n"
                    "  --answer TITLE=TEXT  answer for the next box titled TITLE (repeatable, used in\n"
                    "                       order); a Yes/No question takes \"Yes\" or \"No\". Without an\n"
                    "                       answer an input box takes its default and a question is No\n";
    if (info.serialPort)
        h += "  --trace FILE         write every byte sent or received on the serial port to\n"
             "                       FILE (emptied at start): time in ms, TX or RX, hex bytes\n"
             "  --port DEVICE        the serial port for this run only: a device such as\n"
             "                       /dev/ttyUSB0 (given a port number in KVR.conf [Ports]) or a\n"
             "                       port number; the stored port is left as it is\n"
             "  --list-ports         list the serial ports the system sees and the port numbers\n"
             "                       they map to, then end\n";
    h += info.extraHelp;
    h += "  --version            print the program's version and end\n"
         "  --help               this text\n"
         "\n"
         "Exit status:\n"
         "  0  the run did its job\n"
         "  1  communications failure (no device answered, or the link broke)\n"
         "  2  bad option\n"
         "  3  the readings could not be written (the device was not cleared)\n"
         "  4  another run holds the program folder\n";
    return h;
}

std::string appVersionText(const std::string& program) {
#ifndef KVR_VERSION
#define KVR_VERSION "unknown"
#endif
    return lowerName(program) + " (KVR Probe) " KVR_VERSION "\n";
}

}  // namespace kvr
