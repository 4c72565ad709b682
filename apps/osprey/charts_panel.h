// The three charts of one probe on one time axis: water at six depths with
// the profile total, temperature at six depths, supply voltage. Used by the
// window and by the headless --png rendering alike.
#pragma once

#include <functional>
#include <span>
#include <vector>

#include <QChartView>
#include <QLabel>
#include <QWidget>

#include "viewer/probe_views.h"

class QAreaSeries;
class QChart;
class QCategoryAxis;
class QLineSeries;
class QRubberBand;
class QValueAxis;
class QXYSeries;

namespace kvr::osprey {

// The profile total between which the soil is wet enough: at or above the
// full point water drains away, at the refill point it is time to irrigate.
struct ProbePoints {
    double full = 0;    // 0: not set
    double refill = 0;
};

// A chart view whose mouse moves the shared time range: wheel zooms about
// the pointer, a band dragged with the left button zooms to it, a drag with
// the right or middle button pans, a double click shows everything.
class TimeChartView : public QChartView {
public:
    using RangeRequest = std::function<void(double from, double to)>;
    TimeChartView(QChart* chart, RangeRequest request, std::function<void()> reset);
    std::function<std::pair<double, double>()> currentRange;
    std::function<void()> resized;

protected:
    void wheelEvent(QWheelEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    double valueAt(double px) const;
    RangeRequest request_;
    std::function<void()> reset_;
    QRubberBand* band_ = nullptr;
    QPoint pressAt_;
    Qt::MouseButton dragging_ = Qt::NoButton;
    std::pair<double, double> pressRange_;
};

class ChartsPanel : public QWidget {
    Q_OBJECT
public:
    explicit ChartsPanel(QWidget* parent = nullptr);

    void setProbe(int32_t probe, std::span<const kvr::viewer::Reading> readings, ProbePoints points);
    void setPoints(ProbePoints points);
    // Milliseconds since 1970 UTC, as the time axes count.
    void setRange(double from, double to);
    void resetRange() { setRange(dataFrom_, dataTo_); }
    double from() const { return from_; }
    double to() const { return to_; }
    double dataFrom() const { return dataFrom_; }
    double dataTo() const { return dataTo_; }
    // Colours of the depth lines, shallow to deep, and of the profile total.
    static QColor depthColour(int depth);
    static QColor totalColour();

signals:
    void rangeChanged(double from, double to);

private:
    struct Line {
        QXYSeries* series;  // its legend entry and pen; the layer draws the points
        std::vector<double> y;
    };
    QChart* makeChart(const QString& title, QValueAxis*& yAxis);
    QLineSeries* addLine(QChart* chart, QValueAxis* yAxis, const QString& name, QColor colour, qreal width);
    void addShade(QChart* chart, QAreaSeries* area);
    void redraw();

    QLabel* title_;
    QChart* charts_[3]{};
    class PlotLayer* layers_[3]{};
    QCategoryAxis* timeAxes_[3]{};
    QValueAxis* shadeAxes_[3]{};
    int made_ = 0;
    int32_t probe_ = 0;
    QValueAxis *waterAxis_, *totalAxis_, *tempAxis_, *voltsAxis_;
    std::vector<double> x_;
    std::vector<Line> lines_;
    std::vector<QAreaSeries*> shades_;
    QLineSeries *fullLine_ = nullptr, *refillLine_ = nullptr;
    QAreaSeries* band_ = nullptr;
    double totalLow_ = 0, totalHigh_ = 100;
    double from_ = 0, to_ = 1, dataFrom_ = 0, dataTo_ = 1;
    std::vector<kvr::viewer::Point> scratch_;
};

}  // namespace kvr::osprey
