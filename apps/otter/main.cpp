// Otter: downloads a logger on the serial port (or through a cellular modem
// on a second port) into the running probe data file, once or resident.
#include <cstring>
#include <string>

#include <QTimer>

#include "apps/otter/otter_window.h"
#include "logger_dump/otter_app.h"
#include "platform/qt/program.h"

namespace {

// --screenshot FILE (not in the usage text): saves a picture of the window
// shortly after it is shown. Taken out before the common options are read.
std::string takeScreenshotOption(int& argc, char** argv) {
    std::string file;
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            file = argv[++i];
            continue;
        }
        argv[out++] = argv[i];
    }
    argc = out;
    argv[argc] = nullptr;
    return file;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string screenshot = takeScreenshotOption(argc, argv);
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
