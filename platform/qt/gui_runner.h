// Runs a blocking run sequence on a worker thread while its window lives on
// the GUI thread. Screen calls from the worker are marshalled to the window;
// closing the window makes the worker's next yield or wait throw ProgramEnd.
#pragma once

#include <functional>
#include <memory>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "core/platform.h"
#include "platform/qt/port_list.h"

namespace kvr::qt {

// What a program's main window offers to the run (implemented by each window).
class WindowFace {
public:
    virtual ~WindowFace() = default;
    virtual void setStatus(const QString& text) = 0;
    virtual void setLed(int index, char colour) = 0;
    virtual void setProgress(int percent) = 0;
    virtual void nextDumpImg() {}
};

// A Screen on a window. Usable from a worker thread (status, lamps and
// progress are queued to the GUI thread; boxes block the worker until the
// user answered) and from the GUI thread itself (called directly; yield then
// processes pending events).
//
// After requestStop(): yield() throws ProgramEnd; a box that is open is
// closed, and boxes asked afterwards are not shown. A closed or unshown box
// answers as if cancelled: OK -> true, Yes/No -> false (No), input -> "".
// So the end steps a job runs after ProgramEnd still work, and nothing is
// done on an answer the user never gave.
class QtScreen : public Screen {
public:
    // `window` is the parent of the boxes; `face` (may be null) shows status,
    // lamps and progress. Both must live on the GUI thread and outlive this.
    QtScreen(QWidget& window, WindowFace* face);
    ~QtScreen() override;

    void showEvent(const std::string& text) override;
    void setLed(int index, char colour) override;
    void setProgress(int percent) override;
    void nextDumpImg() override;
    void yield() override;
    bool messageBox(const std::string& text, const std::string& title, Icon icon, Buttons buttons) override;
    std::string inputBox(const std::string& prompt, const std::string& title,
                         const std::string& defaultAnswer) override;
    // An editable list: the answer typed, or a listed port (its number, or
    // its device when it has none yet).
    std::string portBox(const std::string& prompt, const std::string& title,
                        const std::string& defaultAnswer) override;
    // Where port boxes get the ports to offer (set once by the program).
    static void setPortSource(std::function<std::vector<SeenPort>()> source);
    void showWindow(bool visible) override;
    // Busy mouse pointer over the whole application while on.
    void setBusy(bool busy) override;

private:
    // Runs f on the GUI thread: directly when already there, else queued
    // (blocking = wait for it to finish).
    void onGui(std::function<void()> f, bool blocking);
    QPointer<QWidget> window_;
    WindowFace* face_;
    bool busy_ = false;
};

// Starts job on a worker thread after startDelayMs (the window's first timer
// tick), with a Screen that drives `face` and shows dialogs owned by `window`.
// Shows the window, runs the GUI event loop, and quits it when the job ends
// (the job does the program's end steps itself). Closing the window does not
// quit on its own: it requests a stop and the job ends at its next yield.
// Returns the job's result (1 when it threw).
// The window's close event must call requestStop() (see below).
int runWithWindow(QWidget& window, WindowFace& face, std::function<int(Screen&)> job, int startDelayMs = 150);

// Starts job on a worker thread now, while the GUI event loop keeps running
// (a menu window that starts downloads). `done` is called on the GUI thread
// with the job's result (1 when it threw) once the worker ended. The worker is
// joined before `done` runs. Only one such job at a time; returns false when
// one is still running.
bool startJob(QWidget& window, WindowFace* face, std::function<int(Screen&)> job,
              std::function<void(int)> done);
// True while a job started by startJob or runWithWindow is running.
bool jobRunning();

// Called by a window's closeEvent: the running job ends at its next yield,
// and an open box of it is closed.
void requestStop();
bool stopRequested();
// Clears the stop request (before starting another job from a menu).
void clearStopRequest();

}  // namespace kvr::qt
