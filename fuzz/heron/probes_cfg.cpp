// Any text as the probe list file: entries and download numbers agree, and
// a list saved by the editor reads back as the same entries.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/numbers.h"
#include "scratch_dir.h"
#include "web_dump/probe_list.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& dir = fuzzing::scratch();
    const auto file = web::probeListPath(dir);
    fuzzing::writeFile(file, std::string(reinterpret_cast<const char*>(data), size));

    const auto entries = web::readProbeEntries(file);
    const auto numbers = web::readProbeNumbers(file);
    if (numbers.size() != std::min(entries.size(), web::kMaxProbes)) std::abort();
    for (const std::string& e : entries) {
        if (e.empty() || e.find_first_of(",\r\n") != std::string::npos) std::abort();
        if (!(leadingNumber(e) > 0)) std::abort();
    }
    for (std::int32_t n : numbers)
        if (n < 0) std::abort();

    // Saved by the editor and opened again: the same entries, in order.
    std::string error;
    if (!web::writeProbeEntries(file, entries, error)) std::abort();
    if (web::readProbeEntries(file) != entries) std::abort();
    for (const std::string& e : entries) {
        auto again = web::probeEntryFromAnswer(e);
        if (!again || *again != e) std::abort();
    }
    return 0;
}
