// Heron: fetches the readings of the listed probes from the web data service.
#include <QApplication>
#include <QTimer>

#include <cstring>
#include <vector>

#include "apps/heron/heron_run.h"
#include "apps/heron/windows.h"
#include "platform/qt/program.h"

int main(int argc, char** argv) {
    // Hidden debugging aid: --screenshots DIR saves a picture of every
    // window and ends. Taken out before the common options are read.
    QString shotFolder;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshots") == 0 && i + 1 < argc) {
            shotFolder = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);

    kvr::qt::MenuProgramSpec spec;
    spec.name = "Heron";
    spec.unattendedJob = [](kvr::Platform& p, const kvr::AppOptions& o) { return kvr::heron::runUnattended(p, o); };
    spec.makeMenu = [shotFolder](kvr::qt::ProgramContext& ctx) -> std::unique_ptr<QWidget> {
        auto menu = std::make_unique<kvr::heron::MainMenu>(ctx);
        if (!shotFolder.isEmpty()) {
            auto* m = menu.get();
            QTimer::singleShot(300, m, [m, shotFolder, &ctx] {
                m->screenshots(shotFolder);
                ctx.quit(0);
            });
        }
        return menu;
    };
    return kvr::qt::runMenuProgram(static_cast<int>(args.size()) - 1, args.data(), spec);
}
