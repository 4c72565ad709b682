#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "platform/qt/gui_runner.h"
#include "pty_helpers.h"

namespace kvr::test {
using namespace kvr::qt;

// Closing the window ends the job at its next wait: a yield throws, an open
// box is closed unanswered (a question is No, an input box is empty, not its
// default), and the end steps still show status lines but skip their boxes.
TEST(GuiRunner, ClosingTheWindowEndsTheJobAtItsNextWait) {
    ensureApp();
    enum class Wait { Yield, Question, Input };
    for (const Wait wait : {Wait::Yield, Wait::Question, Wait::Input}) {
        SCOPED_TRACE(static_cast<int>(wait));
        clearStopRequest();
        TinyWindow w;
        std::atomic<bool> closed{false};
        const auto t0 = monoMs();
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            bool boxUp = false;
            for (QWidget* tl : QApplication::topLevelWidgets())
                boxUp |= tl->isVisible() && (qobject_cast<QMessageBox*>(tl) || qobject_cast<QInputDialog*>(tl));
            if (wait == Wait::Yield ? monoMs() - t0 > 200 : boxUp) {
                poll.stop();
                closed = true;
                w.close();
            }
        });
        poll.start();
        bool answeredYes = true;
        std::string answer = "x";
        int yieldsAfterStop = 0;
        const int result = runWithWindow(
            w, w,
            [&](Screen& s) {
                try {
                    if (wait == Wait::Input) answer = s.inputBox("Port?", "Serial Port", "3");
                    if (wait == Wait::Question)
                        answeredYes = s.messageBox("Clear the logger?", "Clear", Icon::Information, Buttons::YesNo);
                    for (int i = 0; i < 500; ++i) {  // bounded: 10 s at most
                        if (closed) ++yieldsAfterStop;
                        s.yield();
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                    return 0;
                } catch (const ProgramEnd&) {
                    s.showEvent("Closing");
                    return s.messageBox("Clear?", "Q", Icon::Information, Buttons::YesNo) ? 5 : 3;
                }
            },
            10);
        EXPECT_EQ(result, 3);
        EXPECT_LE(yieldsAfterStop, 1);
        EXPECT_LT(monoMs() - t0, 5000);
        EXPECT_EQ(answer, wait == Wait::Input ? "" : "x");
        EXPECT_EQ(answeredYes, wait != Wait::Question);
        for (QWidget* tl : QApplication::topLevelWidgets())
            EXPECT_FALSE(tl->isVisible() && qobject_cast<QDialog*>(tl)) << "no box left open";
    }
    clearStopRequest();
}
}  // namespace kvr::test
