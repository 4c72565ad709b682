// Otter: downloads a logger on the serial port (or through a cellular modem
// on a second port) into the running probe data file, once or resident.
#include <string>

#include <QTimer>

#include "apps/otter/otter_window.h"
#include "logger_dump/otter_scan.h"
#include "platform/qt/program.h"

int main(int argc, char** argv) {
    const std::string screenshot = kvr::qt::takeScreenshotOption(argc, argv);
    kvr::qt::ProgramSpec desc;
    desc.name = "Otter";
    desc.makeWindow = [screenshot](kvr::qt::ProgramContext&) {
        auto w = std::make_unique<otter::OtterWindow>();
        if (!screenshot.empty()) {
            auto* raw = w.get();
            QTimer::singleShot(700, raw, [raw, screenshot] { raw->grab().save(QString::fromStdString(screenshot)); });
        }
        kvr::qt::WindowParts parts;
        parts.face = w.get();
        parts.window = std::move(w);
        return parts;
    };
    desc.job = [](kvr::Platform& p, const kvr::AppOptions& o) {
        kvr::OtterApp::Options opts;
        opts.endOnSetupFailure = o.unattended;
        kvr::OtterApp app(p, o.folder, opts);
        return app.run();
    };
    // The scan's own timer starts the first scan one tick after the window shows.
    desc.startDelayMs = 0;
    return kvr::qt::runProgram(argc, argv, desc);
}
