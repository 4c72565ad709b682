// Any contents of earlier dump files: each file's list entry carries its
// number and is named by its first line when that is a "Date - " line, and
// the file's lines show with fields as columns and the date line left out.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "split_lines.h"
#include "web_dump/dump_history.h"
#include "web_dump/text_lines.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes split by 0xFF into the contents of up to three dump files.
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (int number : {0, 7, 99}) {
        const std::size_t cut = rest.find('\xFF');
        const std::string_view content = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);

        const auto lines = kvr::test::splitLines(content);
        const std::string first = lines.empty() ? std::string() : lines[0];
        const std::string tail = first.rfind("Date - ", 0) == 0 ? first.substr(4) : std::string(" - ?");
        web::LineReader head(content);
        const std::string entry = web::dumpHistoryEntry(number, head);
        if (web::dumpNumberOfEntry(entry) != number || entry.substr(2) != tail) std::abort();

        std::vector<std::string> want;
        for (std::string l : lines) {
            if (l.rfind("Date - ", 0) == 0) continue;
            for (char& c : l)
                if (c == ',') c = '\t';
            want.push_back(l);
        }
        web::LineReader all(content);
        if (web::dumpLines(all) != want) std::abort();
    }
    return 0;
}
