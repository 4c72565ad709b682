// Runs a blocking run sequence on a worker thread while its window lives on
// the GUI thread. Screen calls from the worker are marshalled to the window;
// closing the window makes the worker's next yield or wait throw ProgramEnd.
#pragma once

#include <functional>

#include <QObject>
#include <QString>
#include <QWidget>

#include "core/platform.h"

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

// Starts job on a worker thread after startDelayMs (the window's first timer
// tick), with a Screen that drives `face` and shows dialogs owned by `window`.
// Returns the job's result when the job finished and the window closed.
// The window's close event must call requestStop() (see below).
int runWithWindow(QWidget& window, WindowFace& face, std::function<int(Screen&)> job, int startDelayMs = 150);

// Called by a window's closeEvent: the running job ends at its next yield.
void requestStop();
bool stopRequested();

}  // namespace kvr::qt
