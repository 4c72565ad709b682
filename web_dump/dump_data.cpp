#include "web_dump/dump_data.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/format.h"
#include "core/numbers.h"
#include "files/folder_lock.h"
#include "files/probe_files.h"
#include "web_dump/probe_list.h"
#include "web_dump/response_line.h"
#include "web_dump/text_lines.h"

namespace kvr::web {

namespace {

const char* const kLastDateKey = "LDate";
const char* const kProbeDatesSection = "ProbeDates";

// A start date as yyyymmdd for comparing, from "dd/mm/yyyy" (what the runs
// store) or "yyyy/mm/dd" (the default and typed dates); 0 when neither.
long dayNumber(const std::string& date) {
    int a = 0, b = 0, c = 0;
    if (std::sscanf(date.c_str(), "%d/%d/%d", &a, &b, &c) != 3) return 0;
    return a > 31 ? a * 10000L + b * 100L + c : c * 10000L + b * 100L + a;
}

// Lines handled between two yields while a large answer is processed, so
// the window stays live without paying for a yield per line.
constexpr std::size_t kLinesPerYield = 4096;

std::string probeListText(const std::vector<std::int32_t>& probes) {
    std::string s;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(probes[i]);
    }
    return s;
}

}  // namespace

std::string queryValue(const std::string& text) {
    // The "/" of a date goes as it is, as the service has always received
    // it; anything that would end the value ("&", "#", a blank) is escaped.
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            std::strchr("-._~/:", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string pullUrl(const std::string& base, const std::string& fDate, LocalTime now, std::int32_t probe) {
    LocalTime tomorrow = now + std::chrono::days{1};
    return base + "/site/pull.ashx?fdate=" + queryValue(fDate) + "&tdate=" + formatDate(tomorrow, "yyyy/mm/dd") +
           "&probeid=" + std::to_string(probe);
}

std::string defaultStartDate(Clock& clock) {
    return formatDate(clock.now() - std::chrono::days{365}, "yyyy/mm/dd");
}

std::string dumpStartDate(Settings& settings, Clock& clock) {
    auto v = settings.get(kNva5App, "Startup", kLastDateKey);
    return v ? *v : defaultStartDate(clock);
}

std::size_t writeResponseRows(const std::filesystem::path& answer, std::int32_t probe, DataFile& dump,
                              DataFile& data, const std::function<void()>& yieldPass, bool& readFailed,
                              std::size_t* skippedLines) {
    LineReader in(answer);
    const std::size_t rows = decodeResponseRows(
        in, probe,
        [&](std::string_view dumpRows, std::string_view dataRows) {
            dump.write(dumpRows);
            data.write(dataRows);
        },
        yieldPass);
    readFailed = in.failed() || !in.isOpen();
    if (skippedLines) *skippedLines += in.skippedLines();
    return rows;
}

std::size_t decodeResponseRows(LineReader& in, std::int32_t probe,
                               const std::function<void(std::string_view, std::string_view)>& out,
                               const std::function<void()>& yieldPass) {
    constexpr std::size_t kBlock = 64 * 1024;
    std::string dumpRows, dataRows;
    auto flush = [&] {
        if (dumpRows.empty()) return;
        out(dumpRows, dataRows);
        dumpRows.clear();
        dataRows.clear();
    };
    std::string line;
    std::size_t rows = 0, sinceYield = 0;
    // The rows decoded so far reach the files even when the window is
    // closed in the middle (yieldPass throws).
    struct FlushOnExit {
        std::function<void()> f;
        ~FlushOnExit() { f(); }
    } flushOnExit{flush};
    while (in.next(line)) {
        if (++sinceYield == kLinesPerYield) {
            sinceYield = 0;
            if (yieldPass) yieldPass();
        }
        auto reading = decodeResponseLine(line, probe);
        if (!reading) continue;
        dumpRows += dumpRow(*reading, Program::Heron);
        dataRows += dataRow(*reading, Program::Heron);
        ++rows;
        if (dumpRows.size() >= kBlock) flush();
    }
    return rows;
}

std::string probeStartDate(Settings& settings, const std::string& fDate, std::int32_t probe) {
    auto own = settings.get(kNva5App, kProbeDatesSection, std::to_string(probe));
    return own && dayNumber(*own) > dayNumber(fDate) ? *own : fDate;
}

DumpReport dumpData(WebRun& run, const std::string& fDate, bool fromProbeDates) {
    DumpReport report;
    Screen& screen = run.screen;
    screen.yield();

    auto listPath = probeListPath(run.folder);
    std::vector<std::int32_t> probes = readProbeNumbers(listPath);
    if (probes.empty()) {
        screen.messageBox("No probe numbers are configured in the probe list file: \r" + listPath.string(),
                          "No Probe Numbers", Icon::None, Buttons::Ok);
        if (run.closeDownloadWindow) run.closeDownloadWindow();
        if (run.openProbeEditor) run.openProbeEditor();
        report.result = DumpResult::NoProbes;
        return report;
    }

    // Without a data service every request would fail the same way; say so
    // once and leave the files and the last date alone.
    const std::string host = dataServer(run.settings);
    if (host.empty()) {
        screen.messageBox("No data server is set. Enter its host name (and port) as \"- data server\" in "
                          "\"Setup Internet\".",
                          "ERROR", Icon::Exclamation, Buttons::Ok);
        if (run.closeDownloadWindow) run.closeDownloadWindow();
        report.result = DumpResult::NoDataServer;
        return report;
    }

    // Held until the files are closed; the header and rotation are decided under it.
    FolderLock folderLock;
    if (!folderLock.lock(run.folder, folderLockWaitMs(run.settings), run.clock, screen)) {
        screen.messageBox(folderBusyMessage(run.folder, folderLockWaitMs(run.settings)), "ERROR", Icon::Exclamation,
                          Buttons::Ok);
        report.result = DumpResult::FolderBusy;
        return report;
    }
    RunFiles files;
    if (!files.open(run.folder, Program::Heron, run.clock.now())) {
        report.writeFailure = files.failureText();
    }
    const auto responseFile = run.folder / kProbeDataName;

    const std::size_t count = probes.size();
    for (std::size_t i = 0; i < count && report.writeFailure.empty(); ++i) {
        const std::int32_t probe = probes[i];
        // Held below 100: with 200 probes or more the last would round up to it.
        screen.setProgress(std::min(
            99, static_cast<int>(roundHalfEven(static_cast<float>(i) / static_cast<float>(count) * 100.0f))));
        screen.showEvent("Downloading probe " + std::to_string(probe));
        screen.yield();

        std::string url = pullUrl(host, fromProbeDates ? probeStartDate(run.settings, fDate, probe) : fDate,
                                  run.clock.now(), probe);
        if (!run.http.httpRequest("GET", url, responseFile)) {
            report.failedProbes.push_back(probe);
            continue;
        }
        std::error_code ec;
        if (!std::filesystem::exists(responseFile, ec)) continue;
        bool readFailed = false;
        report.rows += writeResponseRows(responseFile, probe, files.dump, files.data, [&] { screen.yield(); },
                                         readFailed, &report.skippedLines);
        if (readFailed) report.failedProbes.push_back(probe);
        std::filesystem::remove(responseFile, ec);
        if (!files.ok()) report.writeFailure = files.failureText();
    }

    // Every row must be on the disk before the run counts as done.
    if (files.isOpen() && !files.close() && report.writeFailure.empty()) report.writeFailure = files.failureText();

    const std::string today = formatDate(run.clock.now(), "dd/mm/yyyy");
    std::string skipped;
    if (report.skippedLines > 0)
        skipped = std::to_string(report.skippedLines) +
                  (report.skippedLines == 1 ? " answer line was" : " answer lines were") +
                  " longer than 64 KB and skipped as malformed.";
    // Each probe whose rows are all on the disk starts its next "Dump Data"
    // from today, even when another probe failed: only what failed is asked
    // for again, nothing is appended twice.
    if (report.writeFailure.empty()) {
        for (std::int32_t probe : probes)
            if (std::find(report.failedProbes.begin(), report.failedProbes.end(), probe) == report.failedProbes.end())
                run.settings.set(kNva5App, kProbeDatesSection, std::to_string(probe), today);
    }
    if (report.failedProbes.empty() && report.writeFailure.empty()) {
        run.settings.set(kNva5App, "Startup", kLastDateKey, today);
        report.result = DumpResult::Completed;
        if (!skipped.empty()) screen.messageBox(skipped, "Dump Data", Icon::Information, Buttons::Ok);
        return report;
    }

    report.result = DumpResult::Failed;
    std::string text;
    if (!report.writeFailure.empty()) {
        text = "The probe data files could not be written: " + report.writeFailure + "\r";
    }
    if (!report.failedProbes.empty()) {
        text += (report.failedProbes.size() == 1 ? "The readings of probe " : "The readings of probes ") +
                probeListText(report.failedProbes) + " could not be downloaded.\r";
    }
    if (!skipped.empty()) text += skipped + "\r";
    text += "The date of the last download was not changed, so the next \"Dump Data\" asks for these readings again.";
    screen.messageBox(text, "ERROR", Icon::Exclamation, Buttons::Ok);
    return report;
}

}  // namespace kvr::web
