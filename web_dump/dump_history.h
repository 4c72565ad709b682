// The list of earlier dump files and the lines of one of them, as the
// "Dump History" window shows them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace kvr::web {

class LineReader;

// One entry per existing dump file, in number order: the two digits, then
// the first line from its fifth character when it starts with "Date - "
// ("03 - 21/05/2014 13:45"), else " - ?". Creates the dump folder when missing.
std::vector<std::string> dumpHistoryEntries(const std::filesystem::path& programFolder);
// The entry of dump file `number` whose text `in` reads.
std::string dumpHistoryEntry(int number, LineReader& in);

// The dump number at the start of an entry; -1 when there is none.
int dumpNumberOfEntry(const std::string& entry);

// The file's lines with every "," turned into a tab so the fields show as
// columns; the "Date - " line is left out, the header is kept.
std::vector<std::string> dumpLines(const std::filesystem::path& programFolder, int number);
std::vector<std::string> dumpLines(LineReader& in);

// The same lines for a view that shows a few at a time: only where each
// line starts is kept (16 bytes a line), a line is read when it is shown, so
// a dump of any size opens at once in little memory.
class DumpLineIndex {
public:
    DumpLineIndex(const std::filesystem::path& programFolder, int number);
    ~DumpLineIndex();
    DumpLineIndex(const DumpLineIndex&) = delete;
    DumpLineIndex& operator=(const DumpLineIndex&) = delete;

    std::size_t size() const { return lines_.size(); }
    // Line i, commas as tabs (at most its first 64 KB); empty when unreadable.
    std::string line(std::size_t i) const;

private:
    struct Span {
        std::uint64_t start;
        std::uint64_t length;
    };
    std::FILE* file_ = nullptr;
    std::vector<Span> lines_;
};

}  // namespace kvr::web
