// Marten: one download run from a probe server (or logger, or through a
// modem) into the probe data files, then the program ends.
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include <QTimer>

#include "apps/marten/marten_window.h"
#include "platform/qt/program.h"
#include "server_dump/marten_run.h"

int main(int argc, char** argv) {
    const std::string screenshot = kvr::qt::takeScreenshotOption(argc, argv);
    // The speed option pair, shared by the window (GUI thread) and the run.
    static std::atomic<int> speed{0};
    static bool haveWindow = false;

    kvr::qt::ProgramSpec desc;
    desc.name = "Marten";
    desc.makeWindow = [screenshot](kvr::qt::ProgramContext& ctx) {
        speed = kvr::storedSpeedOption(ctx.settings());
        haveWindow = true;
        auto w = std::make_unique<marten::MartenWindow>(speed);
        if (!screenshot.empty()) {
            auto* raw = w.get();
            QTimer::singleShot(std::getenv("KVR_SHOT_MS") ? std::atoi(std::getenv("KVR_SHOT_MS")) : 700, raw, [raw, screenshot] { raw->grab().save(QString::fromStdString(screenshot)); });
        }
        kvr::qt::WindowParts parts;
        parts.face = w.get();
        parts.window = std::move(w);
        return parts;
    };
    desc.job = [](kvr::Platform& p, const kvr::AppOptions& o) {
        return kvr::runMarten(p, o.folder, haveWindow ? &speed : nullptr);
    };
    return kvr::qt::runProgram(argc, argv, desc);
}
