// Any contents of earlier dump files: one list entry per existing file, in
// number order, named by its first line when that is a "Date - " line, and
// the file's lines shown with fields as columns and the date line left out.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/probe_files.h"
#include "scratch_dir.h"
#include "web_dump/dump_history.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const auto& dir = fuzzing::scratch();
    std::error_code ec;
    std::filesystem::remove_all(dumpFolderPath(dir), ec);
    std::filesystem::create_directories(dumpFolderPath(dir), ec);

    // First byte: which of three dump numbers exist; the rest split by 0xFF
    // into their contents.
    const int numbers[3] = {0, 7, 99};
    std::vector<int> present;
    std::vector<std::string> contents;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    for (int k = 0; k < 3; ++k) {
        std::size_t cut = rest.find('\xFF');
        std::string part = rest.substr(0, cut);
        rest = cut == std::string::npos ? std::string() : rest.substr(cut + 1);
        if (!(data[0] & (1 << k))) continue;
        fuzzing::writeFile(dumpFilePath(dir, numbers[k]), part);
        present.push_back(numbers[k]);
        contents.push_back(part);
    }

    const auto entries = web::dumpHistoryEntries(dir);
    if (entries.size() != present.size()) std::abort();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (web::dumpNumberOfEntry(entries[i]) != present[i]) std::abort();
        const auto lines = fuzzing::splitLines(contents[i]);
        const std::string first = lines.empty() ? std::string() : lines[0];
        const std::string tail = first.rfind("Date - ", 0) == 0 ? first.substr(4) : std::string(" - ?");
        if (entries[i].substr(2) != tail) std::abort();

        std::vector<std::string> want;
        for (std::string l : lines) {
            if (l.rfind("Date - ", 0) == 0) continue;
            for (char& c : l)
                if (c == ',') c = '\t';
            want.push_back(l);
        }
        if (web::dumpLines(dir, present[i]) != want) std::abort();
    }
    return 0;
}
