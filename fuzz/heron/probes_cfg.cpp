// Any text as the probe list file: entries and download numbers agree, and
// a list saved by the editor reads back as the same entries.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/numbers.h"
#include "web_dump/probe_list.h"
#include "web_dump/text_lines.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    web::LineReader forEntries(text), forNumbers(text);
    const auto entries = web::readProbeEntries(forEntries);
    const auto numbers = web::readProbeNumbers(forNumbers);
    if (numbers.size() != std::min(entries.size(), web::kMaxProbes)) std::abort();
    for (const std::string& e : entries) {
        if (e.empty() || e.find_first_of(",\r\n") != std::string::npos) std::abort();
        if (!(leadingNumber(e) > 0)) std::abort();
    }
    for (std::int32_t n : numbers)
        if (n < 0) std::abort();

    // As the editor saves them (one entry per line) and opened again: the
    // same entries, in order.
    std::string saved;
    for (const std::string& e : entries) saved += e + "\r\n";
    web::LineReader again{std::string_view(saved)};
    if (web::readProbeEntries(again) != entries) std::abort();
    for (const std::string& e : entries) {
        auto answer = web::probeEntryFromAnswer(e);
        if (!answer || *answer != e) std::abort();
    }
    return 0;
}
