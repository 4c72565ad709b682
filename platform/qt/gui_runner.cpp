#include "platform/qt/gui_runner.h"

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include "core/console_screen.h"

namespace kvr::qt {

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_jobRunning{false};

// Boxes open right now (GUI thread only), innermost last.
std::vector<QPointer<QDialog>>& openBoxes() {
    static std::vector<QPointer<QDialog>> boxes;
    return boxes;
}

bool onGuiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void closeOpenBoxes() {
    for (auto& b : openBoxes())
        if (b) b->done(QDialog::Rejected);
}

// Device texts are not always UTF-8; show odd bytes as themselves.
QString toQ(const std::string& s) {
    QString q = QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
    if (q.contains(QChar::ReplacementCharacter)) q = QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
    return q;
}

// Box texts end their lines with a carriage return, as the platform's own
// boxes expect; Qt's labels break only on line feeds.
QString boxText(const std::string& s) {
    QString q = toQ(s);
    q.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    q.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return q;
}

std::function<std::vector<SeenPort>()>& portSource() {
    static std::function<std::vector<SeenPort>()> source;
    return source;
}

// Registers a box for the life of its modal loop, so a stop can close it.
struct BoxGuard {
    explicit BoxGuard(QDialog* d) { openBoxes().push_back(d); }
    ~BoxGuard() { openBoxes().pop_back(); }
};

// Waits for a worker to end while the GUI thread keeps serving the calls it
// marshals (a worker blocked in a box call would otherwise never finish).
void finishWorker(QThread* worker) {
    while (!worker->wait(50)) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

// The one text box of both questions; with items, an editable list to pick
// from. Nothing when cancelled or closed by the stop.
std::optional<QString> askText(QWidget* parent, const QString& title, const QString& prompt, const QString& text,
                               const QStringList& items = {}) {
    QInputDialog dlg(parent);
    dlg.setInputMode(QInputDialog::TextInput);
    if (!items.isEmpty()) {
        dlg.setComboBoxItems(items);
        dlg.setComboBoxEditable(true);
    }
    dlg.setWindowTitle(title);
    dlg.setLabelText(prompt);
    dlg.setTextValue(text);
    BoxGuard guard(&dlg);
    if (dlg.exec() != QDialog::Accepted || g_stop.load()) return std::nullopt;
    return dlg.textValue();
}

}  // namespace

QtScreen::QtScreen(QWidget& window, WindowFace* face) : window_(&window), face_(face) {}

QtScreen::~QtScreen() {
    if (busy_) setBusy(false);
}

void QtScreen::onGui(std::function<void()> f, bool blocking) {
    // Without an application there is no window to drive.
    if (!QCoreApplication::instance()) return;
    if (onGuiThread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(f),
                              blocking ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void QtScreen::showEvent(const std::string& text) {
    const QString q = toQ(text);
    onGui([w = window_, f = face_, q] { if (w && f) f->setStatus(q); }, false);
    // On the GUI thread the status is painted and the window served now.
    if (onGuiThread()) QCoreApplication::processEvents();
}

void QtScreen::setLed(int index, char colour) {
    onGui([w = window_, f = face_, index, colour] { if (w && f) f->setLed(index, colour); }, false);
}

void QtScreen::setProgress(int percent) {
    onGui([w = window_, f = face_, percent] { if (w && f) f->setProgress(percent); }, false);
}

void QtScreen::nextDumpImg() {
    onGui([w = window_, f = face_] { if (w && f) f->nextDumpImg(); }, false);
}

void QtScreen::yield() {
    if (onGuiThread()) QCoreApplication::processEvents();
    if (g_stop.load() || ConsoleScreen::stopRequested()) throw ProgramEnd{};
}

bool QtScreen::messageBox(const std::string& text, const std::string& title, Icon icon, Buttons buttons) {
    const bool cancelled = buttons == Buttons::Ok;
    if (g_stop.load()) return cancelled;
    bool yes = cancelled;
    const QString qText = boxText(text), qTitle = toQ(title);
    onGui(
        [&, w = window_] {
            if (g_stop.load()) return;
            const auto qIcon = icon == Icon::Exclamation   ? QMessageBox::Warning
                               : icon == Icon::Information ? QMessageBox::Information
                                                           : QMessageBox::NoIcon;
            const auto qButtons = buttons == Buttons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok;
            QMessageBox box(qIcon, qTitle, qText, qButtons, w.data());
            BoxGuard guard(&box);
            const int r = box.exec();
            if (g_stop.load()) return;  // closed by the stop, not answered
            yes = buttons == Buttons::Ok || r == QMessageBox::Yes;
        },
        true);
    return yes;
}

std::string QtScreen::inputBox(const std::string& prompt, const std::string& title,
                               const std::string& defaultAnswer) {
    if (g_stop.load()) return "";
    std::string answer;
    const QString qPrompt = boxText(prompt), qTitle = toQ(title), qDefault = toQ(defaultAnswer);
    onGui(
        [&, w = window_] {
            if (g_stop.load()) return;
            if (const auto text = askText(w.data(), qTitle, qPrompt, qDefault)) answer = text->toStdString();
        },
        true);
    return answer;
}

std::string QtScreen::portBox(const std::string& prompt, const std::string& title,
                              const std::string& defaultAnswer) {
    if (g_stop.load()) return "";
    std::string answer;
    const QString qPrompt = boxText(prompt), qTitle = toQ(title), qDefault = toQ(defaultAnswer);
    onGui(
        [&, w = window_] {
            if (g_stop.load()) return;
            const std::vector<SeenPort> ports = portSource() ? portSource()() : std::vector<SeenPort>{};
            QStringList labels;
            for (const auto& p : ports) labels << toQ(portLabel(p));
            // The typed default first, so Enter keeps it; the ports below.
            labels.prepend(qDefault);
            const auto chosen = askText(w.data(), qTitle, qPrompt, qDefault, labels);
            if (!chosen) return;
            answer = chosen->toStdString();
            for (const auto& p : ports)
                if (*chosen == toQ(portLabel(p))) answer = p.number ? std::to_string(p.number) : p.device;
        },
        true);
    return answer;
}

void QtScreen::setPortSource(std::function<std::vector<SeenPort>()> source) { portSource() = std::move(source); }

void QtScreen::showWindow(bool visible) {
    onGui([w = window_, visible] { if (w) w->setVisible(visible); }, false);
}

void QtScreen::setBusy(bool busy) {
    if (busy == busy_) return;
    busy_ = busy;
    onGui(
        [busy] {
            if (busy) {
                QApplication::setOverrideCursor(Qt::WaitCursor);
            } else {
                QApplication::restoreOverrideCursor();
            }
        },
        false);
}

int runWithWindow(QWidget& window, WindowFace& face, std::function<int(Screen&)> job, int startDelayMs) {
    // The program ends when the job ends, not when the window closes: the
    // job still has its end steps to do (and may be inside a box call).
    QApplication::setQuitOnLastWindowClosed(false);
    window.show();
    auto result = std::make_shared<int>(1);
    QThread* worker = nullptr;
    g_jobRunning = true;
    QTimer::singleShot(startDelayMs, &window, [&] {
        worker = QThread::create([&window, &face, job, result] {
            QtScreen screen(window, &face);
            try {
                *result = job(screen);
            } catch (...) {
                *result = 1;
            }
        });
        QObject::connect(worker, &QThread::finished, QCoreApplication::instance(), &QCoreApplication::quit,
                         Qt::QueuedConnection);
        worker->start();
    });
    QCoreApplication::exec();
    if (worker) {
        finishWorker(worker);
        delete worker;
    }
    g_jobRunning = false;
    return *result;
}

bool startJob(QWidget& window, WindowFace* face, std::function<int(Screen&)> job, std::function<void(int)> done) {
    bool expected = false;
    if (!g_jobRunning.compare_exchange_strong(expected, true)) return false;
    auto result = std::make_shared<int>(1);
    QPointer<QWidget> w(&window);
    QThread* worker = QThread::create([w, face, job, result] {
        if (!w) return;
        QtScreen screen(*w, face);
        try {
            *result = job(screen);
        } catch (...) {
            *result = 1;
        }
    });
    QObject::connect(
        worker, &QThread::finished, QCoreApplication::instance(),
        [worker, result, done] {
            worker->wait();
            worker->deleteLater();
            g_jobRunning = false;
            if (done) done(*result);
        },
        Qt::QueuedConnection);
    worker->start();
    return true;
}

bool jobRunning() { return g_jobRunning.load(); }

void requestStop() {
    g_stop = true;
    if (onGuiThread()) {
        closeOpenBoxes();
    } else if (QCoreApplication::instance()) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { closeOpenBoxes(); }, Qt::QueuedConnection);
    }
}

bool stopRequested() { return g_stop.load(); }

void clearStopRequest() { g_stop = false; }

}  // namespace kvr::qt
