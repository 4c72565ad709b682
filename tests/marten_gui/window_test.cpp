// The Marten window on the offscreen platform: its controls, and a run
// driven through it (first tick, a box answered, closing mid-run).
#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>

#include <unistd.h>

#include "apps/marten/marten_window.h"
#include "platform/qt/gui_runner.h"
#include "server_dump/marten_run.h"
#include "testing/fakes.h"
#include "tests/marten/mini_server.h"

namespace {

QApplication& app() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "test_marten_gui";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: tearing a QApplication down among the other statics
    // at exit crashes in Qt's own globals.
    static QApplication* a = new QApplication(argc, argv);
    return *a;
}

TEST(MartenWindow, ShowsItsControls) {
    app();
    std::atomic<int> speed{1};
    marten::MartenWindow w(speed);
    w.show();
    EXPECT_EQ(w.windowTitle(), "KVR Probe Server Dump");
    EXPECT_EQ(w.lbl->text(), "Connecting, please wait ...");
    EXPECT_EQ(w.lbl->font().family(), "Tahoma");
    EXPECT_EQ(w.optSpeed[0]->text(), "Lo");
    EXPECT_EQ(w.optSpeed[1]->text(), "Hi");
    EXPECT_TRUE(w.optSpeed[1]->isChecked()) << "the stored option is selected";
    EXPECT_EQ(w.pgb->minimum(), 0);
    EXPECT_EQ(w.pgb->maximum(), 100);

    w.optSpeed[0]->click();
    EXPECT_EQ(speed.load(), 0) << "a click reaches the run's option";

    struct LedCase {
        int index;
        char colour;
    };
    for (LedCase c : {LedCase{0, 'G'}, LedCase{1, 'R'}, LedCase{0, 'N'}, LedCase{1, 'G'}}) {
        w.setLed(c.index, c.colour);
        EXPECT_EQ(w.ledColour(c.index), c.colour);
    }
    std::vector<int> frames;
    for (int i = 0; i < 11; ++i) {
        w.nextDumpImg();
        frames.push_back(w.dumpFrame());
    }
    EXPECT_EQ(frames, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1}));
    w.setProgress(40);
    w.setProgress(250);  // out of range: left as it is
    EXPECT_EQ(w.pgb->value(), 40);
}

TEST(MartenWindow, RunStartsOnFirstTickAndClosingMidRunStoresTheSpeed) {
    app();
    kvr::testing::MemorySettings settings;
    kvr::testing::MiniServer server;
    server.nextRecord = 0;
    server.endRecord = 65000;
    server.recordSlots = 65535;
    server.numReadings = 65000;
    const auto folder = std::filesystem::temp_directory_path() / ("marten_gui_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);

    std::atomic<int> speed{0};
    marten::MartenWindow w(speed);
    bool answered = false, closed = false;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (!answered) {
            if (auto* d = qobject_cast<QInputDialog*>(QApplication::activeModalWidget())) {
                EXPECT_EQ(d->windowTitle(), "Serial Port");
                d->setTextValue("3");
                d->accept();
                answered = true;
            }
        } else if (!closed && w.lbl->text().startsWith("Loading reading")) {
            w.optSpeed[1]->click();
            closed = true;
            w.close();
        }
    });
    driver.start(10);
    QTimer::singleShot(60000, &w, [&] { w.close(); });  // bound: never hang

    const int status = kvr::qt::runWithWindow(
        w, w,
        [&](kvr::Screen& screen) {
            kvr::testing::FakeClock clock;
            kvr::testing::FakePort port(clock);
            port.attach(3, &server);
            kvr::Platform p{clock, port, settings, screen};
            return kvr::runMarten(p, folder, &speed);
        },
        150);
    driver.stop();
    std::filesystem::remove_all(folder);

    EXPECT_TRUE(answered);
    EXPECT_TRUE(closed);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(settings.get("NVA5", "Startup", "Speed", ""), "1");
    EXPECT_EQ(settings.get("NVA5", "Startup", "Port", ""), "3");
    EXPECT_GE(server.statusRequests, 1);
    EXPECT_GT(server.fetched.size(), 0u);
    EXPECT_LT(server.fetched.size(), 65000u);
    EXPECT_EQ(server.clears, 0);
    kvr::qt::clearStopRequest();
}

}  // namespace
