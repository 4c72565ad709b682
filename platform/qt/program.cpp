#include "platform/qt/program.h"

#include <cstdlib>
#include <cstring>

#include <fstream>
#include <iostream>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QScreen>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include "core/console_screen.h"
#include "core/port_names.h"
#include "core/system_clock.h"
#include "core/tracing_port.h"
#include "platform/qt/port_list.h"
#include "platform/qt/qt_serial_port.h"
#include "platform/qt/qt_settings.h"

namespace kvr::qt {

namespace {

class Context : public ProgramContext {
public:
    Context(AppOptions options, std::shared_ptr<std::ostream> trace)
        : options_(std::move(options)), trace_(std::move(trace)) {}

    const AppOptions& options() const override { return options_; }
    Clock& clock() override { return clock_; }
    Settings& settings() override { return settings_; }

    std::unique_ptr<SerialPort> makePort() override {
        auto port = std::make_unique<QtSerialPort>(settings_);
        if (!trace_) return port;
        return std::make_unique<TracingPort>(std::move(port), clock_, trace_);
    }

    bool startJob(QWidget& window, WindowFace* face, Job job, std::function<void(int)> done) override {
        if (jobRunning()) return false;
        clearStopRequest();
        return qt::startJob(
            window, face,
            [this, job](Screen& screen) {
                auto port = makePort();  // on the worker that uses it
                Platform p{clock_, *port, settings_, screen};
                return job(p, options_);
            },
            std::move(done));
    }

    std::unique_ptr<Screen> guiScreen(QWidget& parent, WindowFace* face) override {
        return std::make_unique<QtScreen>(parent, face);
    }

    void quit(int status) override {
        status_ = status;
        quitCalled_ = true;
        QCoreApplication::exit(status);
    }

    bool quitCalled() const { return quitCalled_; }
    int status() const { return status_; }

private:
    AppOptions options_;
    SystemClock clock_;
    QtSettings settings_;
    std::shared_ptr<std::ostream> trace_;
    int status_ = 0;
    bool quitCalled_ = false;
};

// Parses the options and does the ones that end at once (--help,
// --version, --list-ports, a bad --port); returns -1 to go on, else the exit
// status to end with.
int parse(int argc, char** argv, const std::string& name, const ProgramOptionsInfo& info, AppOptions& opts) {
    std::string error;
    if (!parseAppOptions(argc, argv, {}, opts, error, info.serialPort)) {
        std::cerr << name << ": " << error << "\n\n" << appOptionsHelp(name, info);
        return kExitBadOption;
    }
    if (opts.help) {
        std::cout << appOptionsHelp(name, info);
        return kExitOk;
    }
    if (opts.version) {
        std::cout << appVersionText(name);
        return kExitOk;
    }
    if (opts.listPorts || !opts.port.empty()) {
        QtSettings settings;
        if (opts.listPorts) {
            std::cout << portTable(seenPorts(settings));
            return kExitOk;
        }
        opts.portNumber = portFromAnswer(settings, opts.port);
        if (opts.portNumber <= 0) {
            std::cerr << name << ": --port \"" << opts.port << "\" names no port\n";
            return kExitBadOption;
        }
    }
    return -1;
}

// The trace file, opened once at start so a bad path is reported before any
// byte moves. Returns false (message printed) when it cannot be written.
bool openTrace(const AppOptions& opts, const std::string& name, std::shared_ptr<std::ostream>& out) {
    if (opts.traceFile.empty()) return true;
    // Emptied once, then written in append mode like every other port's
    // stream on it (makeProgramPort), so no stream writes over another's lines.
    { std::ofstream(opts.traceFile, std::ios::out | std::ios::trunc | std::ios::binary); }
    auto f = std::make_shared<std::ofstream>(opts.traceFile, std::ios::out | std::ios::app | std::ios::binary);
    if (!*f) {
        std::cerr << name << ": cannot write the trace file \"" << opts.traceFile << "\"\n";
        return false;
    }
    out = f;
    return true;
}

// Without --folder the program folder is the executable's, as a copied
// program folder expects; an installed program (/usr/bin is not the
// user's to write) keeps its files under $XDG_DATA_HOME/kvr-probe/<program>.
void completeFolder(AppOptions& opts, const std::string& name) {
    if (!opts.folder.empty()) return;
    const QString exeDir = QCoreApplication::applicationDirPath();
    if (QFileInfo(exeDir).isWritable()) {
        opts.folder = exeDir.toStdString();
        return;
    }
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString dir = data + "/kvr-probe/" + QString::fromStdString(name).toLower();
    QDir().mkpath(dir);
    opts.folder = dir.toStdString();
}

int runUnattended(int argc, char** argv, const std::string& name, AppOptions opts, const Job& job) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromStdString(name));
    completeFolder(opts, name);
    std::shared_ptr<std::ostream> trace;
    if (!openTrace(opts, name, trace)) return kExitBadOption;
    ConsoleScreen::installStopSignals();
    Context ctx(opts, trace);
    ConsoleScreen screen(ctx.options(), std::cout, std::cerr, &ctx.clock());
    auto port = ctx.makePort();
    Platform p{ctx.clock(), *port, ctx.settings(), screen};
    try {
        return job(p, ctx.options());
    } catch (const ProgramEnd&) {
        return 1;
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << '\n';
        return 1;
    }
}

// SIGINT/SIGTERM in window mode: treated as closing the window, so an open
// box closes too. Signal handlers cannot touch Qt; the GUI thread looks at
// the flag ten times a second instead.
void watchStopSignals(QObject& owner, std::function<void()> onStop) {
    auto* timer = new QTimer(&owner);
    QObject::connect(timer, &QTimer::timeout, &owner, [timer, onStop] {
        if (!ConsoleScreen::stopRequested()) return;
        timer->stop();
        onStop();
    });
    timer->start(100);
}

// What every windowed program does once its application object exists.
bool prepareWindowed(AppOptions& opts, const std::string& name, std::shared_ptr<std::ostream>& trace) {
    QCoreApplication::setApplicationName(QString::fromStdString(name));
    completeFolder(opts, name);
    if (!openTrace(opts, name, trace)) return false;
    // A terminal's Ctrl+C or a SIGTERM ends the run as closing the window does.
    ConsoleScreen::installStopSignals();
    return true;
}

}  // namespace

std::unique_ptr<SerialPort> makeProgramPort(const AppOptions& options, Clock& clock, Settings& settings) {
    auto port = std::make_unique<QtSerialPort>(settings);
    if (options.traceFile.empty()) return port;
    // Appends: the program's own port already truncated the file at start.
    auto f = std::make_shared<std::ofstream>(options.traceFile, std::ios::out | std::ios::app | std::ios::binary);
    return std::make_unique<TracingPort>(std::move(port), clock, std::move(f));
}

int runProgram(int argc, char** argv, const ProgramSpec& desc) {
    AppOptions opts;
    if (int r = parse(argc, argv, desc.name, desc.optionsInfo, opts); r >= 0) return r;
    if (opts.unattended) return runUnattended(argc, argv, desc.name, std::move(opts), desc.job);

    QApplication app(argc, argv);
    std::shared_ptr<std::ostream> trace;
    if (!prepareWindowed(opts, desc.name, trace)) return kExitBadOption;
    Context ctx(opts, trace);
    QtScreen::setPortSource([&ctx] { return seenPorts(ctx.settings()); });
    WindowParts parts = desc.makeWindow ? desc.makeWindow(ctx) : WindowParts{};
    if (!parts.window || !parts.face) {
        std::cerr << desc.name << ": no window\n";
        return 1;
    }
    watchStopSignals(*parts.window, [] { requestStop(); });
    return runWithWindow(
        *parts.window, *parts.face,
        [&ctx, &desc](Screen& screen) {
            auto port = ctx.makePort();  // made, used and destroyed on the worker
            Platform p{ctx.clock(), *port, ctx.settings(), screen};
            return desc.job(p, ctx.options());
        },
        desc.startDelayMs);
}

int runMenuProgram(int argc, char** argv, const MenuProgramSpec& desc) {
    AppOptions opts;
    if (int r = parse(argc, argv, desc.name, desc.optionsInfo, opts); r >= 0) return r;
    if (opts.unattended) return runUnattended(argc, argv, desc.name, std::move(opts), desc.unattendedJob);

    QApplication app(argc, argv);
    std::shared_ptr<std::ostream> trace;
    if (!prepareWindowed(opts, desc.name, trace)) return kExitBadOption;
    Context ctx(opts, trace);
    std::unique_ptr<QWidget> menu = desc.makeMenu ? desc.makeMenu(ctx) : nullptr;
    if (!menu) {
        std::cerr << desc.name << ": no window\n";
        return 1;
    }
    watchStopSignals(*menu, [] {
        requestStop();
        QCoreApplication::exit(1);
    });
    menu->show();
    QCoreApplication::exec();
    // The menu closed while a job still ran: let it end at its next yield,
    // serving its calls to the window meanwhile.
    if (jobRunning()) {
        requestStop();
        while (jobRunning()) {
            QCoreApplication::processEvents();
            QThread::msleep(20);
        }
    }
    return ctx.quitCalled() ? ctx.status() : 0;
}

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

void scheduleScreenshot(QWidget& window, const std::string& file) {
    if (file.empty()) return;
    const char* ms = std::getenv("KVR_SHOT_MS");
    QWidget* w = &window;
    QTimer::singleShot(ms ? std::atoi(ms) : 700, w, [w, file] {
        const QString path = QString::fromStdString(file);
        if (w->isVisible()) {
            w->grab().save(path);
        } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
            // A hidden window (a resident Otter between scans): the screen,
            // with the tray icon on it.
            screen->grabWindow(0).save(path);
        }
        // A box open at that moment is pictured too, beside the window's.
        if (QWidget* box = QApplication::activeModalWidget()) {
            QString boxPath = path;
            boxPath.insert(path.lastIndexOf('.') < 0 ? path.size() : path.lastIndexOf('.'), "-box");
            box->grab().save(boxPath);
        }
    });
}

}  // namespace kvr::qt
