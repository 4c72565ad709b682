// Any line either is a row with values the export can write back exactly, or
// it is not a row; never a crash, never a half-filled reading.
#include <cstdint>
#include <cstdio>
#include <string>
#include <cstdlib>
#include <string_view>

#include "viewer/probe_views.h"

using namespace kvr::viewer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        const std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        Reading r;
        if (parseLine(line, r) != LineKind::Row) continue;
        const CivilTime t = civilFields(r.time);
        if (civilSeconds(t.year, t.month, t.day, t.hour, t.minute, t.second) != r.time) std::abort();
        if (r.volts < 0 || r.probe < 0) std::abort();
        if (!r.hasDepths()) continue;
        // The export's texts of the values, put back into a running-file
        // row, read as the same reading.
        char when[32];
        std::snprintf(when, sizeof when, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        std::string row = std::to_string(r.probe) + ", " + when;
        for (int d = 0; d < 6; ++d) row += ", " + hundredthsText(r.temp[d]) + ", " + hundredthsText(r.water[d]);
        row += "," + hundredthsText(r.volts);
        Reading back;
        if (parseLine(row, back) != LineKind::Row || back.time != r.time || back.volts != r.volts) std::abort();
        for (int d = 0; d < 6; ++d)
            if (back.temp[d] != r.temp[d] || back.water[d] != r.water[d]) std::abort();
    }
    return 0;
}
