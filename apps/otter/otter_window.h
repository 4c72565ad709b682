// frmOtter: Otter's one window. A status line, the download's progress bar
// and four rectangles: the send and receive lamps and two white panels
// behind them. The scan itself lives in logger_dump; this only shows it.
#pragma once

#include <QColor>
#include <QWidget>

#include "platform/qt/gui_runner.h"

class QAction;
class QLabel;
class QProgressBar;
class QSystemTrayIcon;

namespace kvr::otter {

// A filled rectangle with a thin border, as the window's shapes are.
class Shape : public QWidget {
public:
    Shape(QColor fill, QWidget* parent);
    void setFill(QColor c);
    QColor fill() const { return fill_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor fill_;
};

class OtterWindow : public QWidget, public kvr::qt::WindowFace {
    Q_OBJECT
public:
    explicit OtterWindow(QWidget* parent = nullptr);

    void setStatus(const QString& text) override;
    // 'G' green, 'R' red, anything else light grey (off).
    void setLed(int index, char colour) override;
    void setProgress(int percent) override;

    static QColor lampColour(char colour);

    QLabel* lbl = nullptr;
    QProgressBar* pgb = nullptr;
    Shape* shp[4] = {nullptr, nullptr, nullptr, nullptr};

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // Keeps the times of the last scan and download for the tray icon.
    void noteActivity(bool scanStarted, bool downloading);
    QSystemTrayIcon* tray_ = nullptr;
    QAction* scanAction_ = nullptr;
    QAction* downloadAction_ = nullptr;
    QString lastScan_, lastDownload_;
};

}  // namespace kvr::otter
