#include "apps/heron/heron_run.h"

#include <algorithm>

#include "apps/heron/curl_transport.h"
#include "core/app_options.h"
#include "files/folder_lock.h"
#include "web_dump/http_service.h"

namespace kvr::heron {

int runDownload(Platform& p, const std::filesystem::path& folder, const std::string& fDate, bool fromProbeDates,
                std::function<void(const std::filesystem::path&)> viewer, web::DumpReport& report) {
    CurlTransport transport;
    web::HttpService http(p.screen, p.settings, transport, folder, std::move(viewer));
    web::WebRun run{p.clock, p.settings, p.screen, http, folder, {}, {}};
    report = web::dumpData(run, fDate, fromProbeDates);
    if (report.result == web::DumpResult::FolderBusy) return kFolderBusyStatus;
    return report.result == web::DumpResult::Failed ? 1 : 0;
}

int runUnattended(Platform& p, const AppOptions& options) {
    std::string fDate = web::dumpStartDate(p.settings, p.clock);
    bool reload = std::any_of(options.answers.begin(), options.answers.end(),
                              [](const auto& a) { return a.first == kReloadTitle; });
    if (reload) {
        fDate = p.screen.inputBox(kReloadPrompt, kReloadTitle, web::defaultStartDate(p.clock));
        if (fDate.empty()) return 0;  // cancelled: nothing to do
    }
    web::DumpReport report;
    int status = runDownload(p, options.folder, fDate, !reload, {}, report);
    // Unattended, a run that fetched nothing (no probes, no data server, a
    // folder that is not there) has not done its job.
    bool nothingTried = report.result == web::DumpResult::NoProbes || report.result == web::DumpResult::NoDataServer;
    return nothingTried ? 1 : status;
}

}  // namespace kvr::heron
