// Marten: one download run from a probe server (or logger, or through a
// modem) into the probe data files, then the program ends.
#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "apps/marten/marten_window.h"
#include "core/port_names.h"
#include "core/run_result.h"
#include "platform/qt/program.h"
#include "platform/qt/qt_serial_port.h"
#include "server_dump/marten_run.h"

int main(int argc, char** argv) {
    const std::string screenshot = kvr::qt::takeScreenshotOption(argc, argv);
    // The speed option pair, shared by the window (GUI thread) and the run.
    static std::atomic<int> speed{0};
    static bool haveWindow = false;

    kvr::qt::ProgramSpec desc;
    desc.name = "Marten";
    desc.optionsInfo.extraHelp = kvr::qt::kScreenshotHelp;
    desc.makeWindow = [screenshot](kvr::qt::ProgramContext& ctx) {
        speed = kvr::storedSpeedOption(ctx.settings());
        haveWindow = true;
        auto w = std::make_unique<kvr::marten::MartenWindow>(speed);
        kvr::qt::scheduleScreenshot(*w, screenshot);
        kvr::qt::WindowParts parts;
        parts.face = w.get();
        parts.window = std::move(w);
        return parts;
    };
    desc.job = [](kvr::Platform& p, const kvr::AppOptions& o) {
        kvr::RunResult result;
        int status = 0;
        if (o.portNumber > 0) {
            // --port: this run's port; the stored "Port" stays as it was.
            kvr::OneRunSetting held(p.settings, "NVA5", "Startup", "Port", std::to_string(o.portNumber));
            kvr::Platform q{p.clock, p.port, held, p.screen};
            status = kvr::runMarten(q, o.folder, haveWindow ? &speed : nullptr, &result);
        } else {
            status = kvr::runMarten(p, o.folder, haveWindow ? &speed : nullptr, &result);
        }
        if (result.port > 0) result.device = kvr::qt::portDevicePath(result.port, p.settings);
        kvr::reportRunResult(result, o, std::cout, std::cerr);
        return status;
    };
    return kvr::qt::runProgram(argc, argv, desc);
}
