// Any answer of the data service, read as a file is: every line is read once
// (line ends CR, LF or CR LF, also across the reader's chunk boundaries),
// every line of the asked probe gives exactly one dump row and one running
// row, in order, and nothing else reaches the files.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "files/probe_files.h"
#include "split_lines.h"
#include "web_dump/dump_data.h"
#include "web_dump/response_line.h"
#include "web_dump/text_lines.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // First byte: probe asked for; second: the reader's chunk size, so line
    // ends fall on every side of a chunk boundary.
    const std::int32_t probe = 1 + data[0] % 8;
    const std::size_t chunk = 1 + data[1] % 97;
    const std::string answer(reinterpret_cast<const char*>(data + 2), size - 2);

    std::string wantDump, wantData;
    std::size_t wantRows = 0;
    for (const std::string& line : kvr::test::splitLines(answer)) {
        auto r = web::decodeResponseLine(line, probe);
        if (!r) continue;
        if (r->probe != probe) std::abort();
        wantDump += dumpRow(*r, Program::Heron);
        wantData += dataRow(*r, Program::Heron);
        ++wantRows;
    }

    // In memory, in the reader's file-sized chunks: the decoder never sees a disk.
    std::string gotDump, gotData;
    web::LineReader in(std::string_view(answer), chunk);
    const std::size_t rows = web::decodeResponseRows(
        in, probe,
        [&](std::string_view d, std::string_view r) {
            // Blocks end on whole rows.
            if (d.empty() || d.back() != '\n' || r.empty() || r.back() != '\n') std::abort();
            gotDump += d;
            gotData += r;
        },
        [] {});
    if (in.failed()) std::abort();
    if (rows != wantRows) std::abort();
    if (gotDump != wantDump || gotData != wantData) std::abort();
    return 0;
}
