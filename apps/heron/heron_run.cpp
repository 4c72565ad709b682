#include "apps/heron/heron_run.h"

#include <algorithm>

#include "apps/heron/qt_http_transport.h"
#include "core/app_options.h"
#include "files/folder_lock.h"
#include "web_dump/http_service.h"

namespace kvr::heron {

int runDownload(Platform& p, const std::filesystem::path& folder, const std::string& fDate,
                std::function<void(const std::filesystem::path&)> viewer, web::DumpReport& report) {
    QtHttpTransport transport;
    web::HttpService http(p.screen, p.settings, transport, folder, std::move(viewer));
    web::WebRun run{p.clock, p.settings, p.screen, http, folder, {}, {}};
    report = web::dumpData(run, fDate);
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
    return runDownload(p, options.folder, fDate, {}, report);
}

}  // namespace kvr::heron
