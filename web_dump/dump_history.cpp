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
    DumpLineIndex index(programFolder, number);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < index.size(); ++i) out.push_back(index.line(i));
    return out;
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

DumpLineIndex::DumpLineIndex(const std::filesystem::path& programFolder, int number) {
    if (number < 0 || number > 99) return;
    file_ = openForReading(dumpFilePath(programFolder, number));
    if (!file_) return;
    // Lines end at CR, LF or CR LF, as LineReader reads them.
    std::vector<char> buf(64 * 1024);
    std::uint64_t offset = 0, start = 0;
    std::string head;  // the first characters, for the "Date - " test
    bool inLine = false, afterCr = false;
    auto endLine = [&](std::uint64_t end) {
        if (!inLine) start = end;
        if (!startsWithDate(head)) lines_.push_back({start, end - start});
        head.clear();
        inLine = false;
    };
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), file_)) > 0;) {
        for (std::size_t i = 0; i < n; ++i, ++offset) {
            char c = buf[i];
            if (c == '\n' && afterCr) {
                afterCr = false;
                continue;
            }
            afterCr = c == '\r';
            if (c == '\r' || c == '\n') {
                endLine(offset);
                continue;
            }
            if (!inLine) {
                inLine = true;
                start = offset;
            }
            if (head.size() < 7) head += c;
        }
    }
    if (inLine) endLine(offset);
}

DumpLineIndex::~DumpLineIndex() {
    if (file_) std::fclose(file_);
}

std::string DumpLineIndex::line(std::size_t i) const {
    if (i >= lines_.size() || !file_) return {};
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(lines_[i].length, 64 * 1024)), '\0');
    if (!seekTo(file_, lines_[i].start) ||
        std::fread(text.data(), 1, text.size(), file_) != text.size())
        return {};
    std::replace(text.begin(), text.end(), ',', '\t');
    return text;
}

}  // namespace kvr::web
