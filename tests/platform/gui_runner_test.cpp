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

using namespace kvr;
using namespace kvr::qt;
using namespace kvr::testplatform;

namespace {

class TestWindow : public QWidget, public WindowFace {
public:
    void setStatus(const QString& text) override { record("status " + text); }
    void setLed(int index, char colour) override { record(QString("led %1%2").arg(index).arg(colour)); }
    void setProgress(int percent) override { record(QString("progress %1").arg(percent)); }
    void nextDumpImg() override { record("img"); }
    QStringList calls;
    bool offGuiThread = false;

protected:
    void closeEvent(QCloseEvent* e) override {
        requestStop();
        QWidget::closeEvent(e);
    }

private:
    void record(const QString& s) {
        if (QThread::currentThread() != qApp->thread()) offGuiThread = true;
        calls << s;
    }
};

// Answers boxes as a user would: clicks a button of a message box, types
// into an input box. Polls the top-level widgets from the GUI thread.
class AutoAnswer {
public:
    AutoAnswer(QMessageBox::StandardButton button, QString text) : button_(button), text_(std::move(text)) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (!w->isVisible()) continue;
                if (auto* mb = qobject_cast<QMessageBox*>(w)) {
                    seen << "message " + mb->windowTitle() + ": " + mb->text();
                    if (auto* b = mb->button(button_)) {
                        b->click();
                    } else if (auto* ok = mb->button(QMessageBox::Ok)) {
                        ok->click();
                    }
                    return;
                }
                if (auto* in = qobject_cast<QInputDialog*>(w)) {
                    seen << "input " + in->windowTitle() + ": " + in->labelText() + " [" + in->textValue() + "]";
                    in->setTextValue(text_);
                    in->accept();
                    return;
                }
            }
        });
        timer_.start();
    }
    QStringList seen;

private:
    QTimer timer_;
    QMessageBox::StandardButton button_;
    QString text_;
};

struct Fixture : ::testing::Test {
    void SetUp() override {
        ensureApp();
        clearStopRequest();
    }
    void TearDown() override { clearStopRequest(); }
};

using GuiRunner = Fixture;

}  // namespace

TEST_F(GuiRunner, JobRunsOffTheGuiThreadAndBoxesAreAnswered) {
    TestWindow w;
    AutoAnswer answers(QMessageBox::Yes, "5");
    std::atomic<bool> ranOnGuiThread{true};
    std::string typed;
    bool yes = false, ok = false;
    const int result = runWithWindow(
        w, w,
        [&](Screen& s) {
            ranOnGuiThread = QThread::currentThread() == qApp->thread();
            s.showEvent("Opening serial port ...");
            s.setLed(0, 'R');
            s.setProgress(40);
            s.nextDumpImg();
            s.yield();
            yes = s.messageBox("Set the date?", "Set date", Icon::Information, Buttons::YesNo);
            typed = s.inputBox("Please enter the serial port number.", "Serial Port", "1");
            ok = s.messageBox("Done.", "Finished", Icon::Exclamation, Buttons::Ok);
            return 7;
        },
        10);
    EXPECT_EQ(result, 7);
    EXPECT_FALSE(ranOnGuiThread);
    EXPECT_TRUE(yes);
    EXPECT_TRUE(ok);
    EXPECT_EQ(typed, "5");
    // Queued in the order the job made them, all applied on the GUI thread.
    QCoreApplication::processEvents();
    EXPECT_EQ(w.calls, QStringList({"status Opening serial port ...", "led 0R", "progress 40", "img"}));
    EXPECT_FALSE(w.offGuiThread);
    EXPECT_EQ(answers.seen, QStringList({"message Set date: Set the date?",
                                         "input Serial Port: Please enter the serial port number. [1]",
                                         "message Finished: Done."}));
}

// Closing the window ends the job at its next wait: a yield throws, an open
// box is closed unanswered (a question is No, an input box is empty, not its
// default), and the end steps still show status lines but skip their boxes.
TEST_F(GuiRunner, ClosingTheWindowEndsTheJobAtItsNextWait) {
    enum class Wait { Yield, Question, Input };
    for (const Wait wait : {Wait::Yield, Wait::Question, Wait::Input}) {
        SCOPED_TRACE(static_cast<int>(wait));
        clearStopRequest();
        TestWindow w;
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
}
