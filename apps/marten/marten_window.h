// frmMarten: the one window of Marten. Status line, speed option, progress,
// two signal lamps, the dump animation, artwork and the supplier's line.
// The run itself lives elsewhere (server_dump); this only shows it.
#pragma once

#include <atomic>

#include <QWidget>

#include "platform/qt/gui_runner.h"

class QLabel;
class QProgressBar;
class QRadioButton;

namespace kvr::marten {

class Lamp;
class DumpAnimation;

class MartenWindow : public QWidget, public kvr::qt::WindowFace {
    Q_OBJECT
public:
    // speed: the option pair's value (0 "Lo", 1 "Hi"), read by the run on its
    // own thread; the window selects the button it holds and writes it on
    // every click.
    explicit MartenWindow(std::atomic<int>& speed, QWidget* parent = nullptr);

    void setStatus(const QString& text) override;
    void setLed(int index, char colour) override;
    void setProgress(int percent) override;
    void nextDumpImg() override;

    // For tests: what the lamps and the animation show.
    char ledColour(int index) const;
    int dumpFrame() const;

    QLabel* lbl = nullptr;
    QProgressBar* pgb = nullptr;
    QRadioButton* optSpeed[2] = {nullptr, nullptr};
    Lamp* LED[2] = {nullptr, nullptr};
    DumpAnimation* imgDumping = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::atomic<int>& speed_;
};

}  // namespace kvr::marten
