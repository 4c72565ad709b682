// The download as the program runs it, in a window or unattended: the HTTP
// service on libcurl, the download run, and the exit status.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "core/app_options.h"
#include "core/platform.h"
#include "web_dump/dump_data.h"

namespace kvr::heron {

// Runs the download from fDate ("Dump Data": fromProbeDates, each probe from
// its own later date). `viewer` shows a file in the user's viewer (empty in
// unattended mode). Returns 1 when a probe or a file failed, else 0 (also
// when nothing was tried: `report` tells). `report` receives the outcome.
int runDownload(Platform& p, const std::filesystem::path& folder, const std::string& fDate, bool fromProbeDates,
                std::function<void(const std::filesystem::path&)> viewer, web::DumpReport& report);

// Unattended mode: "Dump Data", or "Reload Data" when an answer for that box
// was given on the command line.
int runUnattended(Platform& p, const AppOptions& options);

inline constexpr const char* kReloadPrompt = "Enter the date for which the probe data should be downloaded.";
inline constexpr const char* kReloadTitle = "Reload Data";

}  // namespace kvr::heron
