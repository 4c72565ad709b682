// Osprey, the probe viewer: charts of the readings the other programs
// wrote, a PNG of one probe's charts or a tidy export without a window.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include "apps/osprey/charts_panel.h"
#include "apps/osprey/viewer_window.h"
#include "platform/qt/program.h"
#include "platform/qt/qt_settings.h"
#include "viewer/probe_views.h"

namespace {

namespace fs = std::filesystem;
using namespace kvr::viewer;

const char* kUsage =
    "Usage: osprey [--folder DIR] [--dumps] [--probe P] [FILE...]\n"
    "       osprey --png FILE --probe P [--from DATE] [--to DATE] [--size WxH] [--dumps] FOLDER|FILE...\n"
    "       osprey --export FILE [--dumps] FOLDER|FILE...\n"
    "       osprey --summary [--dumps] FOLDER|FILE...\n"
    "Shows the readings of the probe data files: \"KVR Probe Data.csv\" of a program\n"
    "folder (with --dumps also its \"KVR Dumps\" files), or the files given.\n"
    "  --folder DIR     program folder to open (default: the one opened last)\n"
    "  --dumps          read the dump files of a folder as well\n"
    "  --png FILE       render the charts of probe P to a PNG, no display needed\n"
    "  --from, --to     time range of the PNG: yyyy-mm-dd [HH:MM] (local time)\n"
    "  --size WxH       size of the PNG in pixels (default 1400x900)\n"
    "  --export FILE    write the readings as tidy CSV (probe,time,depth,temperature,\n"
    "                   water,volts,power_fail), one line per probe, time and depth\n"
    "  --summary        print the probe list\n"
    "  --help, --version\n";

struct Options {
    fs::path folder, png, exportFile;
    std::vector<fs::path> inputs;
    bool dumps = false, summary = false, help = false, version = false;
    std::optional<int32_t> probe;
    std::string from, to;
    int width = 1400, height = 900;
};

bool parse(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") o.help = true;
        else if (a == "--version") o.version = true;
        else if (a == "--dumps") o.dumps = true;
        else if (a == "--summary") o.summary = true;
        else if (a == "--folder") { if (!value(v)) return false; o.folder = v; }
        else if (a == "--png") { if (!value(v)) return false; o.png = v; }
        else if (a == "--export") { if (!value(v)) return false; o.exportFile = v; }
        else if (a == "--from") { if (!value(o.from)) return false; }
        else if (a == "--to") { if (!value(o.to)) return false; }
        else if (a == "--probe") {
            if (!value(v)) return false;
            try {
                std::size_t used = 0;
                o.probe = std::stoi(v, &used);
                if (used != v.size() || *o.probe < 0) throw 0;
            } catch (...) {
                error = "--probe needs a probe number, not \"" + v + "\"";
                return false;
            }
        } else if (a == "--size") {
            if (!value(v) || std::sscanf(v.c_str(), "%dx%d", &o.width, &o.height) != 2 || o.width < 200 ||
                o.height < 200 || o.width > 10000 || o.height > 10000) {
                error = "--size needs WxH, each 200 to 10000 pixels";
                return false;
            }
        } else if (a.starts_with("-") && a != "-") {
            error = "unknown option " + a;
            return false;
        } else {
            o.inputs.push_back(a);
        }
    }
    if (!o.png.empty() && !o.probe) error = "--png needs --probe";
    const int modes = !o.png.empty() + !o.exportFile.empty() + o.summary;
    if (modes > 1) error = "--png, --export and --summary go one at a time";
    if (modes && o.inputs.empty() && o.folder.empty()) error = "name a folder or files to read";
    return error.empty();
}

// "yyyy-mm-dd", "yyyy-mm-dd HH:MM" or with "/" and "T"; a bare --to date means
// the end of that day.
std::optional<int64_t> parseDate(std::string s, bool endOfDay) {
    for (char& c : s)
        if (c == '-') c = '/';
        else if (c == 'T') c = ' ';
    if (s.size() == 10) s += endOfDay ? " 23:59:59" : " 00:00:00";
    else if (s.size() == 16) s += ":00";
    int64_t t;
    if (!parseDateTime(s, t)) return std::nullopt;
    return t;
}

std::vector<fs::path> inputFiles(const Options& o) {
    std::vector<fs::path> files;
    std::vector<fs::path> in = o.inputs;
    if (in.empty()) in.push_back(o.folder);
    for (const auto& p : in) {
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            const auto f = folderFiles(p, o.dumps);
            files.insert(files.end(), f.begin(), f.end());
        } else {
            files.push_back(p);
        }
    }
    return files;
}

// Reports unreadable files and skipped lines on stderr: data left out of a
// report or export must not go unnoticed. `failed` is set when a file could
// not be read or there was none.
ProbeData loadReporting(const Options& o, bool& failed) {
    ProbeData data = loadProbeData(inputFiles(o));
    failed = data.files.empty();
    for (const auto& f : data.files) {
        if (!f.error.empty()) {
            std::cerr << "osprey: " << f.path.string() << ": " << f.error << "\n";
            failed = true;
        } else if (f.skipped) {
            std::cerr << "osprey: " << f.path.string() << ": lines skipped (not whole rows): " << f.skipped << "\n";
        }
    }
    if (data.files.empty()) std::cerr << "osprey: no probe data file found\n";
    return data;
}

int renderPng(int argc, char** argv, const Options& o) {
    // Never needs a display: scheduled reports run without one. The
    // offscreen platform's notes about window hints are no news there.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type == QtCriticalMsg || type == QtFatalMsg) std::cerr << "osprey: " << msg.toStdString() << "\n";
    });
    bool failed = false;
    const ProbeData data = loadReporting(o, failed);
    const ProbeRange* range = data.find(*o.probe);
    if (!range) {
        std::cerr << "osprey: no readings of probe " << *o.probe << "\n";
        return 1;
    }
    std::optional<int64_t> from, to;
    if (!o.from.empty() && !(from = parseDate(o.from, false))) {
        std::cerr << "osprey: --from: not a date: " << o.from << "\n";
        return 2;
    }
    if (!o.to.empty() && !(to = parseDate(o.to, true))) {
        std::cerr << "osprey: --to: not a date: " << o.to << "\n";
        return 2;
    }
    QApplication app(argc, argv);
    kvr::qt::QtSettings settings;
    kvr::osprey::ChartsPanel panel;
    panel.setAttribute(Qt::WA_DontShowOnScreen);
    panel.setAutoFillBackground(true);
    panel.setPalette(QPalette(Qt::white));
    panel.resize(o.width, o.height);
    panel.show();
    QApplication::processEvents();
    panel.setProbe(*o.probe, data.of(*range), kvr::osprey::storedPoints(settings, *o.probe));
    LocalZone zone;
    const double a = from ? double(zone.epoch(*from)) * 1000 : panel.dataFrom();
    const double b = to ? double(zone.epoch(*to)) * 1000 : panel.dataTo();
    panel.setRange(a, b);
    QApplication::processEvents();
    if (!panel.grab().save(QString::fromStdString(o.png.string()), "PNG")) {
        std::cerr << "osprey: cannot write " << o.png.string() << "\n";
        return 1;
    }
    return failed ? 1 : 0;
}

int exportTidy(const Options& o) {
    bool failed = false;
    const ProbeData data = loadReporting(o, failed);
    std::ofstream out(o.exportFile, std::ios::binary | std::ios::trunc);
    LocalZone zone;
    if (out) writeTidy(out, data, zone);
    out.close();
    if (!out) {
        std::cerr << "osprey: cannot write " << o.exportFile.string() << "\n";
        return 1;
    }
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    // --screenshot FILE: the window saves a picture of itself (docs, checks).
    const std::string screenshot = kvr::qt::takeScreenshotOption(argc, argv);
    Options o;
    std::string error;
    if (!parse(argc, argv, o, error)) {
        std::cerr << "osprey: " << error << "\n" << kUsage;
        return 2;
    }
    if (o.help) {
        std::cout << kUsage;
        return 0;
    }
    if (o.version) {
        std::cout << "osprey (KVR Probe) " << KVR_VERSION << "\n";
        return 0;
    }
    if (!o.png.empty()) return renderPng(argc, argv, o);
    if (!o.exportFile.empty()) return exportTidy(o);
    if (o.summary) {
        bool failed = false;
        std::cout << summaryTable(loadReporting(o, failed));
        return failed ? 1 : 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Osprey");
    kvr::qt::QtSettings settings;
    kvr::osprey::ViewerWindow window(settings);
    if (o.dumps) window.useDumps();
    window.show();
    std::error_code ec;
    if (o.inputs.size() == 1 && fs::is_directory(o.inputs[0], ec)) {
        window.openFolder(o.inputs[0]);
    } else if (!o.inputs.empty()) {
        window.openFiles(inputFiles(o));  // all of them together, folders expanded
    } else if (!o.folder.empty()) {
        window.openFolder(o.folder);
    } else if (const auto last = settings.get("KVR", "Viewer", "Folder")) {
        window.openFolder(*last);
    }
    if (o.probe) window.selectProbe(*o.probe);
    if (!screenshot.empty()) {
        QTimer::singleShot(std::getenv("KVR_SHOT_MS") ? std::atoi(std::getenv("KVR_SHOT_MS")) : 1500, &window,
                           [&window, screenshot] { window.grab().save(QString::fromStdString(screenshot)); });
    }
    return app.exec();
}
