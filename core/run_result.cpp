#include "core/run_result.h"

#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/format.h"

namespace kvr {

namespace {

std::string isoTime(LocalTime t) {
    std::string s = formatDate(t, "yyyy/mm/dd HH:MM:SS");
    // "2026/12/07 06:15:00" -> "2026-12-07T06:15:00"
    for (std::size_t i : {4u, 7u}) s[i] = '-';
    s[10] = 'T';
    return s;
}

}  // namespace

std::string resultLine(const RunResult& r) {
    nlohmann::ordered_json j;
    j["program"] = r.program;
    if (r.port) j["port"] = r.port;
    j["device"] = r.device;
    j["start"] = isoTime(r.start);
    j["end"] = isoTime(r.end);
    j["expected"] = r.expected;
    j["written"] = r.written;
    j["refetched"] = r.refetched;
    if (r.deviceClock) {
        j["device_clock"] = isoTime(*r.deviceClock);
        j["drift_s"] = (*r.deviceClock - r.deviceClockReadAt.value_or(r.end)).count();
    } else {
        j["device_clock"] = nullptr;
        j["drift_s"] = nullptr;
    }
    j["cleared"] = r.cleared;
    j["files"] = r.files;
    j["exit_status"] = r.exitStatus;
    nlohmann::ordered_json line;
    line["result"] = std::move(j);
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::int64_t rowsAppended(const std::filesystem::path& file, std::uintmax_t sizeBefore) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return 0;
    in.seekg(static_cast<std::streamoff>(sizeBefore));
    std::int64_t lines = 0;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) lines += buf[i] == '\n';
    }
    if (sizeBefore == 0 && lines > 0) --lines;  // the header of a new file
    return lines;
}

void reportRunResult(const RunResult& r, const AppOptions& options, std::ostream& out, std::ostream& err) {
    const std::string line = resultLine(r);
    if (options.unattended) {
        out << line << '\n';
        out.flush();
    }
    const auto log = options.folder / kCollectionsLogName;
    std::ofstream f(log, std::ios::out | std::ios::app | std::ios::binary);
    // One write of the whole line: a failure leaves no half line behind that
    // the next run's line would be glued to.
    const std::string whole = line + "\n";
    if (!f || !f.write(whole.data(), static_cast<std::streamsize>(whole.size())) || !f.flush())
        err << "cannot write " << log.string() << '\n';
}

}  // namespace kvr
