// Heron: fetches the readings of the listed probes from the web data service.
#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstring>
#include <vector>

#include "apps/heron/heron_run.h"
#include "apps/heron/windows.h"
#include "platform/qt/program.h"

int main(int argc, char** argv) {
    // Aids for documentation and tests, taken out before the common options
    // are read: --screenshots DIR saves a picture of every window and ends;
    // --press CAPTION clicks that menu button once the menu is up (lets a
    // test drive the window's own download path).
    QString shotFolder, press;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshots") == 0 && i + 1 < argc) {
            shotFolder = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        if (std::strcmp(argv[i], "--press") == 0 && i + 1 < argc) {
            press = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);

    kvr::qt::MenuProgramSpec desc;
    desc.name = "Heron";
    desc.optionsInfo.serialPort = false;
    desc.optionsInfo.extraHelp =
        "  --screenshots DIR    save a picture of every window into DIR (PNG) and end\n"
        "  --press CAPTION      press the menu button with that caption once the menu shows\n";
    desc.unattendedJob = [](kvr::Platform& p, const kvr::AppOptions& o) { return kvr::heron::runUnattended(p, o); };
    desc.makeMenu = [shotFolder, press](kvr::qt::ProgramContext& ctx) -> std::unique_ptr<QWidget> {
        auto menu = std::make_unique<kvr::heron::MainMenu>(ctx);
        if (!press.isEmpty()) {
            auto* m = menu.get();
            QTimer::singleShot(300, m, [m, press] {
                for (auto* b : m->findChildren<QPushButton*>())
                    if (b->text().remove('&') == press) b->click();
            });
        }
        if (!shotFolder.isEmpty()) {
            auto* m = menu.get();
            QTimer::singleShot(300, m, [m, shotFolder, &ctx] {
                m->screenshots(shotFolder);
                ctx.quit(0);
            });
        }
        return menu;
    };
    return kvr::qt::runMenuProgram(static_cast<int>(args.size()) - 1, args.data(), desc);
}
