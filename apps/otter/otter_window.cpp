#include "apps/otter/otter_window.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

namespace otter {

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

OtterWindow::OtterWindow(QWidget* parent) : QWidget(parent) {
    setObjectName("frmOtter");
    setWindowTitle("KVR Probe Logger");

    lbl = new QLabel("Connecting, please wait ...", this);
    lbl->setObjectName("lbl");
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
        shp[i + 2]->setFixedSize(70, 22);
        shp[i]->setGeometry(5, 5, 12, 12);
        auto* caption = new QLabel(captions[i], shp[i + 2]);
        caption->setGeometry(22, 3, 46, 16);
        lamps->addWidget(shp[i + 2]);
    }
    lamps->addStretch();

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->setSpacing(6);
    outer->addWidget(lbl);
    outer->addWidget(pgb);
    outer->addLayout(lamps);
    setFixedSize(sizeHint());
}

void OtterWindow::setStatus(const QString& text) { lbl->setText(text); }

void OtterWindow::setLed(int index, char colour) {
    if (index == 0 || index == 1) shp[index]->setFill(lampColour(colour));
}

void OtterWindow::setProgress(int percent) {
    if (percent >= 0 && percent <= 100) pgb->setValue(percent);
}

void OtterWindow::closeEvent(QCloseEvent* event) {
    // The scan ends at its next yield and closes the port on its own thread.
    kvr::qt::requestStop();
    event->accept();
}

}  // namespace otter
