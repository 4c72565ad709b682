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
// unattended mode). Returns the exit status: 0 when every probe answered and
// every row reached the disk (or there was nothing to do: `report` tells), 3
// when a file could not be written, 4 when another run held the folder, 1
// otherwise. `report` receives the run's outcome; its receipt goes to
// "KVR Collections.log" (and, unattended, to standard output).
int runDownload(Platform& p, const std::filesystem::path& folder, const std::string& fDate, bool fromProbeDates,
                std::function<void(const std::filesystem::path&)> viewer, web::DumpReport& report,
                bool unattended = false);

// Unattended mode: "Dump Data", or "Reload Data" when an answer for that box
// was given on the command line.
int runUnattended(Platform& p, const AppOptions& options);

inline constexpr const char* kReloadPrompt = "Enter the date for which the probe data should be downloaded.";
inline constexpr const char* kReloadTitle = "Reload Data";

}  // namespace kvr::heron
