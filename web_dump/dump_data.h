// The web download: for every probe of the probe list, the readings from a
// start date to tomorrow are fetched from the data service and written to a
// new dump file and the running file; the date of a complete run is kept as
// the start of the next one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform.h"
#include "files/datafile.h"
#include "web_dump/http_client.h"

namespace kvr::web {

inline constexpr const char* kNva5App = "NVA5";
inline constexpr const char* kProbeDataName = "WebProbeData.csv";

struct WebRun {
    Clock& clock;
    Settings& settings;
    Screen& screen;
    HttpClient& http;
    std::filesystem::path folder;
    // Opens the probe list editor (modal) when the list is empty.
    std::function<void()> openProbeEditor;
    // Closes the download window before that editor opens.
    std::function<void()> closeDownloadWindow;
};

enum class DumpResult {
    NoProbes,    // nothing configured: the editor was opened, the program goes on
    NoDataServer,  // no data server set: the user was told, the program goes on
    Completed,   // every probe answered and every row reached the disk
    Failed,      // a request or a file failed; the user was told, "LDate" kept
    FolderBusy,  // another run held the folder too long: nothing fetched or written
};

struct DumpReport {
    DumpResult result = DumpResult::NoProbes;
    std::vector<std::int32_t> failedProbes;
    std::string writeFailure;  // the file that failed, with the reason
    std::size_t rows = 0;
    std::size_t skippedLines = 0;  // answer lines over the length limit
};

// A query value with what would end it escaped.
std::string queryValue(const std::string& text);

// The request URL for one probe; base is dataServer()'s "http[s]://host".
std::string pullUrl(const std::string& base, const std::string& fDate, LocalTime now, std::int32_t probe);

// fromProbeDates ("Dump Data"): each probe is asked from the later of fDate
// and the day of its own last complete download ("NVA5"/"ProbeDates"/<probe>).
DumpReport dumpData(WebRun& run, const std::string& fDate, bool fromProbeDates = false);

// Decodes every line of a stored answer for `probe` and appends its rows to
// the dump and running files, in blocks (one write per row would cost a
// system call each). yieldPass is called every few thousand lines. Returns
// the number of readings; readFailed tells whether the answer could not be
// read to its end; skippedLines (when given) grows by the lines too long to
// be readings.
std::size_t writeResponseRows(const std::filesystem::path& answer, std::int32_t probe, DataFile& dump,
                              DataFile& data, const std::function<void()>& yieldPass, bool& readFailed,
                              std::size_t* skippedLines = nullptr);

class LineReader;
// The decoding part of writeResponseRows: the rows of every line `in` gives,
// handed on in blocks of whole rows (dump rows, running rows).
std::size_t decodeResponseRows(LineReader& in, std::int32_t probe,
                               const std::function<void(std::string_view, std::string_view)>& out,
                               const std::function<void()>& yieldPass);

// Start dates of the menu: 365 days back "yyyy/mm/dd", or "LDate" as stored.
std::string defaultStartDate(Clock& clock);
std::string dumpStartDate(Settings& settings, Clock& clock);

}  // namespace kvr::web
