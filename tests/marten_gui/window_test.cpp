// The Marten window on the offscreen platform, driving a run: the run starts
// on the first tick, a box is answered, the speed option is clicked and the
// window closed mid-run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QRadioButton>
#include <QTimer>

#include "apps/marten/marten_window.h"
#include "platform/qt/gui_runner.h"
#include "tests/marten/rig.h"

namespace kvr::test {
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

TEST(MartenWindow, RunStartsOnFirstTickAndClosingMidRunStoresTheSpeed) {
    app();
    MemorySettings settings;
    MiniServer server(65000);
    server.recordSlots = 65535;
    TempDir folder;

    std::atomic<int> speed{0};
    kvr::marten::MartenWindow w(speed);
    EXPECT_TRUE(w.optSpeed[0]->isChecked()) << "the stored option is selected";
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
            FakeClock clock;
            FakePort port(clock);
            port.attach(3, &server);
            kvr::Platform p{clock, port, settings, screen};
            return kvr::runMarten(p, folder.path, &speed);
        },
        150);
    driver.stop();
    // What arrived before the close is on the disk (the close may fall into
    // the wait for the last answer), and nothing else.
    const std::size_t rows = lines(folder.path / "KVR Dumps" / "Dump00.csv").size();

    EXPECT_TRUE(answered);
    EXPECT_TRUE(closed);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(settings.get("NVA5", "Startup", "Speed", ""), "1");
    EXPECT_EQ(settings.get("NVA5", "Startup", "Port", ""), "3");
    EXPECT_GT(server.fetched.size(), 0u);
    EXPECT_LT(server.fetched.size(), 65000u);
    EXPECT_LE(rows - 1, server.fetched.size());
    EXPECT_GE(rows, server.fetched.size());
    EXPECT_EQ(server.clears, 0);
    kvr::qt::clearStopRequest();
}

}  // namespace
}  // namespace kvr::test
