#include "apps/heron/heron_run.h"

#include <algorithm>

#include <iostream>

#include "apps/heron/curl_transport.h"
#include "core/app_options.h"
#include "core/run_result.h"
#include "files/folder_lock.h"
#include "files/probe_files.h"
#include "web_dump/http_service.h"
#include "web_dump/internet_setup.h"

namespace kvr::heron {

int runDownload(Platform& p, const std::filesystem::path& folder, const std::string& fDate, bool fromProbeDates,
                std::function<void(const std::filesystem::path&)> viewer, web::DumpReport& report, bool unattended) {
    CurlTransport transport;
    web::HttpService http(p.screen, p.settings, transport, folder, std::move(viewer));
    web::WebRun run{p.clock, p.settings, p.screen, http, folder, {}, {}};
    RunResult r;
    r.program = "heron";
    r.start = p.clock.now();
    report = web::dumpData(run, fDate, fromProbeDates);
    if (report.result == web::DumpResult::FolderBusy) return kFolderBusyStatus;
    const int status = !report.writeFailure.empty()               ? kExitWriteFailure
                       : report.result == web::DumpResult::Failed ? kExitCommsFailure
                                                                  : kExitOk;
    if (report.result == web::DumpResult::NoProbes || report.result == web::DumpResult::NoDataServer)
        return status;  // nothing was collected
    r.end = p.clock.now();
    r.device = web::loadInternetSetup(p.settings).dataServer;
    r.written = r.expected = static_cast<std::int64_t>(report.rows);
    r.files = {dumpFilePath(folder, 0).string(), dataFilePath(folder).string()};
    r.exitStatus = status;
    AppOptions where;
    where.folder = folder;
    where.unattended = unattended;
    reportRunResult(r, where, std::cout, std::cerr);
    return status;
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
    int status = runDownload(p, options.folder, fDate, !reload, {}, report, true);
    // Unattended, a run that fetched nothing (no probes, no data server, a
    // folder that is not there) has not done its job.
    bool nothingTried = report.result == web::DumpResult::NoProbes || report.result == web::DumpResult::NoDataServer;
    return nothingTried ? kExitCommsFailure : status;
}

}  // namespace kvr::heron
