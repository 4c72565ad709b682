#include "web_dump/dump_history.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "files/probe_files.h"
#include "web_dump/text_lines.h"

namespace kvr::web {

namespace {
bool startsWithDate(const std::string& line) { return line.rfind("Date - ", 0) == 0; }

std::string twoDigits(int n) {
    std::string s = std::to_string(n);
    return n < 10 ? "0" + s : s;
}
}  // namespace

std::vector<std::string> dumpHistoryEntries(const std::filesystem::path& programFolder) {
    std::error_code ec;
    std::filesystem::create_directories(dumpFolderPath(programFolder), ec);
    std::vector<std::string> out;
    for (int n = 0; n <= 99; ++n) {
        auto path = dumpFilePath(programFolder, n);
        if (!std::filesystem::exists(path, ec)) continue;
        LineReader in(path);
        out.push_back(dumpHistoryEntry(n, in));
    }
    return out;
}

std::string dumpHistoryEntry(int number, LineReader& in) {
    std::string first;
    in.next(first);
    return twoDigits(number) + (startsWithDate(first) ? first.substr(4) : std::string(" - ?"));
}

int dumpNumberOfEntry(const std::string& entry) {
    if (entry.size() < 2 || !std::isdigit(static_cast<unsigned char>(entry[0])) ||
        !std::isdigit(static_cast<unsigned char>(entry[1])))
        return -1;
    return (entry[0] - '0') * 10 + (entry[1] - '0');
}

std::vector<std::string> dumpLines(const std::filesystem::path& programFolder, int number) {
    std::vector<std::string> out;
    if (number < 0 || number > 99) return out;
    LineReader in(dumpFilePath(programFolder, number));
    return dumpLines(in);
}

std::vector<std::string> dumpLines(LineReader& in) {
    std::vector<std::string> out;
    std::string line;
    while (in.next(line)) {
        if (startsWithDate(line)) continue;
        std::replace(line.begin(), line.end(), ',', '\t');
        out.push_back(line);
    }
    return out;
}

}  // namespace kvr::web
