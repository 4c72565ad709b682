// Otter: downloads a logger on the serial port (or through a cellular modem
// on a second port) into the running probe data file, once or resident.
#include <iostream>
#include <string>

#include "apps/otter/otter_window.h"
#include "core/run_result.h"
#include "logger_dump/otter_scan.h"
#include "platform/qt/program.h"
#include "platform/qt/qt_serial_port.h"

int main(int argc, char** argv) {
    const std::string screenshot = kvr::qt::takeScreenshotOption(argc, argv);
    kvr::qt::ProgramSpec desc;
    desc.name = "Otter";
    desc.optionsInfo.extraHelp = kvr::qt::kScreenshotHelp;
    desc.makeWindow = [screenshot](kvr::qt::ProgramContext&) {
        auto w = std::make_unique<kvr::otter::OtterWindow>();
        kvr::qt::scheduleScreenshot(*w, screenshot);
        kvr::qt::WindowParts parts;
        parts.face = w.get();
        parts.window = std::move(w);
        return parts;
    };
    desc.job = [](kvr::Platform& p, const kvr::AppOptions& o) {
        kvr::OtterApp::Options opts;
        opts.endOnSetupFailure = o.unattended;
        opts.comsPort = o.portNumber;
        auto report = [&p, &o](kvr::RunResult r) {
            if (r.port > 0) r.device = kvr::qt::portDevicePath(r.port, p.settings);
            kvr::reportRunResult(r, o, std::cout, std::cerr);
        };
        opts.onCollection = report;  // resident: one receipt per logger
        const kvr::LocalTime start = p.clock.now();
        kvr::OtterApp app(p, o.folder, opts);
        const int status = app.run();
        if (app.ScanRate() == 0) {
            // A single run ends with one receipt, also when no logger answered.
            const bool handled = !app.collection().program.empty();
            kvr::RunResult r = app.collection();
            r.program = "otter";
            if (!handled) {
                r.start = start;
                r.port = app.comPort();
            }
            r.end = p.clock.now();
            r.exitStatus = status;
            report(r);
        }
        return status;
    };
    // The scan's own timer starts the first scan one tick after the window shows.
    desc.startDelayMs = 0;
    return kvr::qt::runProgram(argc, argv, desc);
}
