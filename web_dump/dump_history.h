// The list of earlier dump files and the lines of one of them, as the
// "Dump History" window shows them.
#pragma once

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

}  // namespace kvr::web
