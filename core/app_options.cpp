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

}  // namespace

bool parseAppOptions(int argc, char** argv, const std::filesystem::path& exeFolder, AppOptions& out,
                     std::string& error) {
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
        if (arg == "--unattended") {
            opts.unattended = true;
            continue;
        }
        if (!takeValue("--folder", argc, argv, i, value, error, matched)) return false;
        if (matched) {
            if (value.empty()) {
                error = "--folder needs a folder";
                return false;
            }
            opts.folder = value;
            continue;
        }
        if (!takeValue("--trace", argc, argv, i, value, error, matched)) return false;
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

std::string appOptionsHelp(const std::string& program) {
    return "Usage: " + program +
           " [options]\n"
           "Without options the program opens its window and runs as usual.\n"
           "\n"
           "  --folder DIR         program folder (data files, configuration); default: the\n"
           "                       folder of the executable\n"
           "  --unattended         no window: status texts go to standard error, one line each;\n"
           "                       message and input boxes go to standard output as one JSON\n"
           "                       object per line and are answered from --answer\n"
           "  --answer TITLE=TEXT  answer for the next box titled TITLE (repeatable, used in\n"
           "                       order); a Yes/No question takes \"Yes\" or \"No\". Without an\n"
           "                       answer an input box takes its default and a question is No\n"
           "  --trace FILE         append every byte sent or received on the serial port to FILE\n"
           "  --help               this text\n"
           "\n"
           "Exit status: 0 when the run ended normally without a communications or write\n"
           "failure, 1 otherwise, 2 for a bad option.\n";
}

}  // namespace kvr
