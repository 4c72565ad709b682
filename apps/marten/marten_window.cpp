#include "apps/marten/marten_window.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QRadioButton>
#include <QVBoxLayout>

namespace kvr::marten {

// A signal lamp: green, red or off, drawn rather than loaded, so the program
// needs no image files beside it.
class Lamp : public QWidget {
public:
    // `role` names the lamp for screen readers ("Transmit lamp").
    Lamp(QWidget* parent, const QString& role) : QWidget(parent), role_(role) {
        setFixedSize(16, 16);
        setFocusPolicy(Qt::TabFocus);
        set('N');
    }
    void set(char c) {
        colour_ = c;
        // The state in words as well as in colour.
        const QString state = c == 'G' ? "green" : c == 'R' ? "red" : "off";
        setToolTip(role_ + ": " + state);
        setAccessibleName(role_);
        setAccessibleDescription(state);
        repaint();
    }
    char colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor fill = colour_ == 'G' ? QColor(40, 200, 60) : colour_ == 'R' ? QColor(220, 40, 40) : QColor(70, 70, 70);
        QRadialGradient g(QPointF(6, 6), 9);
        g.setColorAt(0, fill.lighter(170));
        g.setColorAt(1, fill);
        p.setBrush(g);
        p.setPen(QPen(QColor(30, 30, 30), 1));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    }

private:
    QString role_;
    char colour_ = 'N';
};

// Ten frames of readings flowing from the probe into a folder.
class DumpAnimation : public QWidget {
public:
    explicit DumpAnimation(QWidget* parent) : QWidget(parent) { setFixedSize(64, 32); }
    void next() {
        frame_ = frame_ >= 10 ? 1 : frame_ + 1;
        repaint();
    }
    int frame() const { return frame_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        // folder
        p.setPen(QPen(QColor(120, 90, 20), 1));
        p.setBrush(QColor(240, 200, 90));
        p.drawRect(QRectF(44, 10, 18, 16));
        p.drawRect(QRectF(44, 7, 8, 4));
        // moving sheets
        p.setPen(QPen(QColor(40, 80, 160), 1));
        p.setBrush(QColor(220, 235, 255));
        for (int k = 0; k < 3; ++k) {
            if (frame_ == 0) break;
            const int x = ((frame_ - 1) * 4 + k * 13) % 40;
            p.drawRect(QRectF(2 + x, 12, 7, 9));
        }
    }

private:
    int frame_ = 0;
};

namespace {

// Our own artwork: a soil probe standing in layered ground.
class ProbeArt : public QWidget {
public:
    explicit ProbeArt(QWidget* parent) : QWidget(parent) { setFixedSize(72, 96); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(QRect(0, 0, 72, 30), QColor(205, 230, 250));
        const QColor soil[3] = {QColor(150, 110, 70), QColor(125, 90, 55), QColor(100, 72, 45)};
        for (int i = 0; i < 3; ++i) p.fillRect(QRect(0, 30 + i * 22, 72, 22), soil[i]);
        QPainterPath grass;
        for (int x = 2; x < 72; x += 7) {
            grass.moveTo(x, 30);
            grass.lineTo(x + 2, 24);
        }
        p.setPen(QPen(QColor(60, 150, 60), 2));
        p.drawPath(grass);
        // probe body with six sensor rings
        p.setPen(QPen(QColor(40, 40, 40), 1));
        p.setBrush(QColor(230, 230, 230));
        p.drawRoundedRect(QRectF(31, 8, 10, 84), 4, 4);
        p.setBrush(QColor(30, 110, 200));
        for (int i = 0; i < 6; ++i) p.drawRect(QRectF(31, 36 + i * 9, 10, 3));
        p.setBrush(QColor(250, 190, 30));
        p.drawEllipse(QRectF(32, 10, 8, 8));
    }
};

}  // namespace

MartenWindow::MartenWindow(std::atomic<int>& speed, QWidget* parent) : QWidget(parent), speed_(speed) {
    setObjectName("frmMarten");
    setWindowTitle("KVR Probe Server Dump");

    auto* art = new ProbeArt(this);

    lbl = new QLabel("Connecting, please wait ...", this);
    lbl->setObjectName("lbl");
    lbl->setAccessibleName("Status");
    lbl->setWordWrap(true);
    lbl->setMinimumWidth(280);
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

    auto* speedLabel = new QLabel("Speed:", this);
    optSpeed[0] = new QRadioButton("&Lo", this);
    optSpeed[1] = new QRadioButton("&Hi", this);
    optSpeed[0]->setAccessibleName("Speed Lo (readings one by one)");
    optSpeed[1]->setAccessibleName("Speed Hi (bulk download)");
    speedLabel->setBuddy(optSpeed[0]);
    optSpeed[0]->setObjectName("optSpeed0");
    optSpeed[1]->setObjectName("optSpeed1");
    optSpeed[speed_.load() == 1 ? 1 : 0]->setChecked(true);
    for (int i = 0; i < 2; ++i)
        connect(optSpeed[i], &QRadioButton::toggled, this, [this, i](bool on) {
            if (on) speed_ = i;
        });

    for (int i = 0; i < 2; ++i) {
        LED[i] = new Lamp(this, i == 0 ? "Lamp 1" : "Lamp 2");
        LED[i]->setObjectName(QString("LED%1").arg(i));
    }
    imgDumping = new DumpAnimation(this);
    imgDumping->setObjectName("imgDumping");

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    auto* contact = new QLabel(QString::fromUtf8("KVR Probe \u2014 support: support@kvr-probe.example"), this);
    contact->setObjectName("Label1");
    QFont small = contact->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    contact->setFont(small);
    contact->setStyleSheet("color: #505050");

    auto* lamps = new QHBoxLayout;
    lamps->setSpacing(4);
    lamps->addWidget(LED[0]);
    lamps->addWidget(LED[1]);
    lamps->addStretch();
    lamps->addWidget(imgDumping);

    auto* speedBox = new QVBoxLayout;
    speedBox->setSpacing(2);
    speedBox->addWidget(speedLabel);
    speedBox->addWidget(optSpeed[0]);
    speedBox->addWidget(optSpeed[1]);
    speedBox->addStretch();

    auto* centre = new QVBoxLayout;
    centre->setSpacing(6);
    centre->addWidget(lbl);
    centre->addWidget(pgb);
    centre->addLayout(lamps);
    centre->addStretch();

    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    top->addWidget(art, 0, Qt::AlignTop);
    top->addLayout(centre, 1);
    top->addLayout(speedBox);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 10, 6);
    outer->setSpacing(6);
    outer->addLayout(top);
    outer->addWidget(line);
    outer->addWidget(contact);
    // The platform font and size decide the layout; the window may grow.
    setMinimumSize(sizeHint());
}

void MartenWindow::setStatus(const QString& text) { lbl->setText(text); }

void MartenWindow::setLed(int index, char colour) {
    if (index == 0 || index == 1) LED[index]->set(colour);
}

void MartenWindow::setProgress(int percent) {
    if (percent >= 0 && percent <= 100) pgb->setValue(percent);
}

void MartenWindow::nextDumpImg() { imgDumping->next(); }

char MartenWindow::ledColour(int index) const { return LED[index]->colour(); }
int MartenWindow::dumpFrame() const { return imgDumping->frame(); }

void MartenWindow::closeEvent(QCloseEvent* event) {
    // The run ends at its next yield and does the program's end steps
    // (speed stored, port and files closed) on its own thread.
    kvr::qt::requestStop();
    event->accept();
}

}  // namespace kvr::marten
