#include "apps/otter/otter_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

namespace kvr::otter {

Shape::Shape(QColor fill, QWidget* parent) : QWidget(parent), fill_(fill) {}

void Shape::setFill(QColor c) {
    fill_ = c;
    // Lamps show the port's activity as it happens, so paint at once.
    repaint();
}

void Shape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(QPen(QColor(64, 64, 64), 1));
    p.setBrush(fill_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

QColor OtterWindow::lampColour(char colour) {
    switch (colour) {
        case 'G': return QColor(0, 255, 0);
        case 'R': return QColor(255, 0, 0);
        default: return QColor(224, 224, 224);
    }
}

namespace {

// The program's icon, drawn like the lamps so no image file is needed: a
// probe in green ground (the installed SVG shows the same).
QIcon otterIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(63, 125, 58));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
    p.setBrush(QColor(244, 241, 232));
    p.drawRoundedRect(QRectF(14, 4, 4, 21), 2, 2);
    for (int y = 8; y <= 20; y += 4) p.drawRect(QRectF(10, y, 12, 1.5));
    p.setBrush(QColor(91, 58, 26));
    p.drawRect(QRectF(1, 25, 30, 6));
    return QIcon(pm);
}

}  // namespace

OtterWindow::OtterWindow(QWidget* parent) : QWidget(parent) {
    setObjectName("frmOtter");
    setWindowTitle("KVR Probe Logger");
    setWindowIcon(otterIcon());

    lbl = new QLabel("Connecting, please wait ...", this);
    lbl->setObjectName("lbl");
    lbl->setAccessibleName("Status");
    lbl->setWordWrap(true);
    lbl->setMinimumWidth(300);
    lbl->setFrameShape(QFrame::Panel);
    lbl->setFrameShadow(QFrame::Sunken);
    lbl->setMargin(3);

    pgb = new QProgressBar(this);
    pgb->setObjectName("pgb");
    pgb->setRange(0, 100);
    pgb->setValue(0);
    pgb->setTextVisible(false);
    pgb->setFixedHeight(14);
    pgb->setAccessibleName("Download progress");

    // shp(2) and shp(3): white panels that frame the two lamps.
    shp[2] = new Shape(Qt::white, this);
    shp[3] = new Shape(Qt::white, this);
    shp[0] = new Shape(lampColour('N'), shp[2]);
    shp[1] = new Shape(lampColour('N'), shp[3]);
    const char* captions[2] = {"Send", "Receive"};
    auto* lamps = new QHBoxLayout;
    lamps->setSpacing(8);
    for (int i = 0; i < 2; ++i) {
        shp[i]->setObjectName(QString("shp%1").arg(i));
        shp[i + 2]->setObjectName(QString("shp%1").arg(i + 2));
        shp[i]->setFixedSize(12, 12);
        shp[i]->setAccessibleName(QString(captions[i]) + " lamp");
        shp[i]->setFocusPolicy(Qt::TabFocus);
        // The panel grows with the caption's font.
        auto* panel = new QHBoxLayout(shp[i + 2]);
        panel->setContentsMargins(5, 4, 6, 4);
        panel->setSpacing(5);
        panel->addWidget(shp[i]);
        panel->addWidget(new QLabel(captions[i], shp[i + 2]));
        lamps->addWidget(shp[i + 2]);
        setLed(i, 'N');
    }
    lamps->addStretch();

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->setSpacing(6);
    outer->addWidget(lbl);
    outer->addWidget(pgb);
    outer->addLayout(lamps);
    setMinimumSize(sizeHint());

    // The window's timer greys both lamps on every tick, also while a scan
    // runs, so a lamp lit by a byte goes out 150 ms later.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, [this] {
        setLed(0, 'N');
        setLed(1, 'N');
    });
    tick->start(150);
}

void OtterWindow::noteActivity(bool scanStarted, bool downloading) {
    const QString now = QTime::currentTime().toString("HH:mm:ss");
    if (scanStarted) lastScan_ = now;
    if (downloading) lastDownload_ = now;
    if (!tray_) return;
    const QString scan = "Last scan: " + (lastScan_.isEmpty() ? QString("none yet") : lastScan_);
    const QString download = "Last download: " + (lastDownload_.isEmpty() ? QString("none yet") : lastDownload_);
    scanAction_->setText(scan);
    downloadAction_->setText(download);
    tray_->setToolTip("Otter\n" + scan + "\n" + download);
}

void OtterWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // A resident Otter hides its window between scans: the tray icon shows
    // it is alive and offers the way to stop it.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    if (!tray_) {
        tray_ = new QSystemTrayIcon(windowIcon(), this);
        auto* menu = new QMenu(this);
        scanAction_ = menu->addAction("");
        downloadAction_ = menu->addAction("");
        scanAction_->setEnabled(false);
        downloadAction_->setEnabled(false);
        menu->addSeparator();
        menu->addAction("&Quit", this, [this] { close(); });
        tray_->setContextMenu(menu);
        noteActivity(false, false);
    }
    tray_->show();
}

void OtterWindow::setStatus(const QString& text) {
    lbl->setText(text);
    if (text.startsWith("Conecting to logger")) noteActivity(true, false);
}

void OtterWindow::setLed(int index, char colour) {
    if (index != 0 && index != 1) return;
    shp[index]->setFill(lampColour(colour));
    // The state in words as well as in colour.
    const QString state = colour == 'G' ? "green" : colour == 'R' ? "red" : "off";
    shp[index]->setToolTip(shp[index]->accessibleName() + ": " + state);
    shp[index]->setAccessibleDescription(state);
}

void OtterWindow::setProgress(int percent) {
    if (percent >= 0 && percent <= 100) pgb->setValue(percent);
    if (percent > 0) noteActivity(false, true);
}

void OtterWindow::closeEvent(QCloseEvent* event) {
    // The scan ends at its next yield and closes the port on its own thread.
    kvr::qt::requestStop();
    event->accept();
}

}  // namespace kvr::otter
