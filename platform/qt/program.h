// The main() of every program in this suite, in one place.
//
//   int main(int argc, char** argv) {
//       kvr::qt::ProgramSpec desc;
//       desc.name = "Marten";
//       desc.makeWindow = [](kvr::qt::ProgramContext&) {
//           auto w = std::make_unique<MartenWindow>();   // QWidget + WindowFace
//           kvr::qt::WindowParts parts; parts.face = w.get(); parts.window = std::move(w);
//           return parts;
//       };
//       desc.job = [](kvr::Platform& p, const kvr::AppOptions& o) { return runMarten(p, o); };
//       return kvr::qt::runProgram(argc, argv, desc);
//   }
//
// What runProgram does:
//   - parses the common options (--help prints the usage and returns 0; a bad
//     option prints the error and the usage to stderr and returns 2, as does
//     a --trace file that cannot be written);
//   - --version, --list-ports print and return 0; --port DEVICE is given its
//     port number (AppOptions::portNumber) before the job starts;
//   - --folder defaults to the executable's folder, or to
//     $XDG_DATA_HOME/kvr-probe/<program> when that is not writable;
//   - builds the clock (SystemClock), the settings store (QtSettings) and the
//     serial port (QtSerialPort, wrapped in a TracingPort writing to the
//     --trace file when given);
//   - with --unattended: a QCoreApplication, no window; the job runs on the
//     main thread with a ConsoleScreen (time-stamped, thinned status lines to
//     stderr, boxes as JSON lines to stdout, answered from --answer);
//     SIGINT/SIGTERM end it at its next yield;
//   - else: a QApplication, the window from makeWindow, and the job on a
//     worker thread startDelayMs after the window shows (runWithWindow). The
//     serial port is created on that worker and destroyed there.
// The return value is the job's result (the process exit status, see
// kExitOk and the others in core/app_options.h).
// A job that lets an exception escape (ProgramEnd included) gives 1.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QWidget>

#include "core/app_options.h"
#include "core/platform.h"
#include "platform/qt/gui_runner.h"

namespace kvr::qt {

using Job = std::function<int(Platform&, const AppOptions&)>;

struct WindowParts {
    std::unique_ptr<QWidget> window;  // shown by the runner; its closeEvent calls requestStop()
    WindowFace* face = nullptr;       // usually the same object as window
};

// Services a program gets while it runs: what the window and the menus need
// besides the job.
class ProgramContext {
public:
    virtual ~ProgramContext() = default;
    virtual const AppOptions& options() const = 0;
    virtual Clock& clock() = 0;
    virtual Settings& settings() = 0;
    // A new serial port for the calling thread (traced when --trace is given;
    // several ports trace into the same file). Create and use it on one thread.
    virtual std::unique_ptr<SerialPort> makePort() = 0;

    // Window mode only (menu programs). Runs job on a worker thread with a
    // fresh serial port and a QtScreen on window/face, while the menu stays
    // responsive; `done` gets the result on the GUI thread. False when a job
    // is already running.
    virtual bool startJob(QWidget& window, WindowFace* face, Job job, std::function<void(int)> done) = 0;
    // A screen for a dialog flow run on the GUI thread itself (boxes shown
    // directly as modal dialogs over `parent`).
    virtual std::unique_ptr<Screen> guiScreen(QWidget& parent, WindowFace* face = nullptr) = 0;
    // Ends the event loop; runMenuProgram then returns `status`.
    virtual void quit(int status) = 0;
};

// Programs whose window starts one job by itself (a timer) and ends with it.
struct ProgramSpec {
    std::string name;  // program name: usage text and the Qt application name
    ProgramOptionsInfo optionsInfo;
    std::function<WindowParts(ProgramContext&)> makeWindow;  // window mode only
    Job job;
    int startDelayMs = 150;
};
int runProgram(int argc, char** argv, const ProgramSpec& desc);

// Programs with a menu window whose buttons start jobs or open dialogs.
// With --unattended the menu is not built: unattendedJob runs as in runProgram.
// In window mode runMenuProgram returns the status passed to quit(), or 0
// when the user closed the menu (the GUI event loop ended by itself).
struct MenuProgramSpec {
    std::string name;
    ProgramOptionsInfo optionsInfo;
    Job unattendedJob;
    std::function<std::unique_ptr<QWidget>(ProgramContext&)> makeMenu;
};
int runMenuProgram(int argc, char** argv, const MenuProgramSpec& desc);

// A serial port for the calling thread as the programs build it: QtSerialPort
// on `settings`, wrapped in a TracingPort when options.traceFile is set.
std::unique_ptr<SerialPort> makeProgramPort(const AppOptions& options, Clock& clock, Settings& settings);

// --screenshot FILE: the file a window picture is saved to shortly after the
// window is shown (KVR_SHOT_MS milliseconds, default 700). Taken out of argv
// before the common options are read; empty when not given.
std::string takeScreenshotOption(int& argc, char** argv);
// Its line in --help.
inline constexpr const char* kScreenshotHelp =
    "  --screenshot FILE    save a picture of the window to FILE (PNG) KVR_SHOT_MS\n"
    "                       milliseconds after it shows (default 700), of the screen when\n"
    "                       the window is hidden by then, and of a box open then to FILE\n"
    "                       with \"-box\" before its extension\n";
// Saves the window's picture as --screenshot asks.
void scheduleScreenshot(QWidget& window, const std::string& file);

}  // namespace kvr::qt
