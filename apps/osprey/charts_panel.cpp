#include "apps/osprey/charts_panel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QAreaSeries>
#include <QChart>
#include <QGraphicsItem>
#include <QPainter>
#include <QDateTime>
#include <QCategoryAxis>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QRubberBand>
#include <QScatterSeries>
#include <QValueAxis>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "viewer/probe_views.h"

namespace kvr::osprey {

using kvr::viewer::Reading;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kHourMs = 3600e3;
// Fixed plot margins: the three plots line up under one another whatever
// their axis labels, so one time reads the same on all of them.
constexpr qreal kLeft = 64, kRight = 64, kTop = 58, kBottom = 30;

double hundredths(int v) { return v / 100.0; }

// A value axis over [lo, hi] widened to round steps of 1, 2 or 5 times a
// power of ten, with at most about `most` intervals.
void niceAxis(QValueAxis* axis, double lo, double hi, int most) {
    if (!(hi > lo)) hi = lo + 1;
    const double raw = (hi - lo) / most, mag = std::pow(10, std::floor(std::log10(raw)));
    double step = 10 * mag;
    for (double m : {1.0, 2.0, 5.0})
        if (m * mag >= raw) {
            step = m * mag;
            break;
        }
    lo = std::floor(lo / step) * step;
    hi = std::ceil(hi / step) * step;
    axis->setRange(lo, hi);
    axis->setTickCount(int(std::lround((hi - lo) / step)) + 1);
}

// Time ticks on calendar boundaries (whole hours, midnights, Mondays, first
// days of months) rather than at equal fractions of the range, at most
// `most` of them.
std::vector<std::pair<double, QString>> calendarTicks(double from, double to, int most) {
    struct Step {
        int hours, days, months;
        const char* format;
    };
    static const Step steps[] = {{1, 0, 0, "HH:mm"},     {3, 0, 0, "HH:mm"},   {6, 0, 0, "HH:mm"},
                                 {12, 0, 0, "HH:mm"},    {0, 1, 0, "d MMM"},   {0, 2, 0, "d MMM"},
                                 {0, 7, 0, "d MMM"},     {0, 14, 0, "d MMM"},  {0, 0, 1, "MMM"},
                                 {0, 0, 2, "MMM"},       {0, 0, 3, "MMM"},     {0, 0, 6, "MMM"},
                                 {0, 0, 12, "yyyy"}};
    const double span = to - from;
    const Step* step = &steps[std::size(steps) - 1];
    for (const auto& s : steps) {
        const double len = (s.hours * 3600e3 + s.days * 86400e3 + s.months * 30.4 * 86400e3);
        if (span / len <= most) {
            step = &s;
            break;
        }
    }
    const QDateTime first = QDateTime::fromMSecsSinceEpoch(qint64(from));
    QDateTime t;
    if (step->hours) t = QDateTime(first.date(), QTime(first.time().hour() / step->hours * step->hours, 0));
    else if (step->days == 7 || step->days == 14) t = QDateTime(first.date().addDays(1 - first.date().dayOfWeek()), QTime(0, 0));
    else if (step->days) t = QDateTime(first.date(), QTime(0, 0));
    else t = QDateTime(QDate(first.date().year(), (first.date().month() - 1) / step->months * step->months + 1, 1), QTime(0, 0));
    std::vector<std::pair<double, QString>> ticks;
    QString zeroWidth;
    for (int guard = 0; guard < 400; ++guard) {
        const double at = double(t.toMSecsSinceEpoch());
        if (at > to) break;
        if (at >= from) {
            // A day or a year shown where the hours or months start over.
            QString label = t.toString(step->format);
            if (step->hours && t.time().hour() < step->hours) label = t.toString("d MMM");
            if (step->months && t.date().month() == 1 && step->months < 12) label = t.toString("MMM yyyy");
            // The axis wants each label once; invisible characters tell repeats apart.
            zeroWidth += QChar(0x200B);
            ticks.emplace_back(at, label + zeroWidth);
        }
        t = step->hours ? t.addSecs(3600 * step->hours) : step->days ? t.addDays(step->days) : t.addMonths(step->months);
    }
    return ticks;
}

}  // namespace

// Draws the reduced lines of one chart in one polyline call each. Qt Charts'
// own line items stroke every segment apart and build an outline of the
// whole line for mouse hits, which takes several times longer on a year of
// readings; the series stay in the chart, empty, for the legend and the pens.
class PlotLayer : public QGraphicsItem {
public:
    struct Drawn {
        QPen pen;
        bool marks;
        QPolygonF points;
    };
    explicit PlotLayer(QChart* chart) : QGraphicsItem(chart), chart_(chart) { setZValue(100); }
    std::vector<Drawn> drawn;
    QRectF boundingRect() const override { return chart_->plotArea().adjusted(-8, -8, 8, 8); }
    void paint(QPainter* p, const QStyleOptionGraphicsItem*, QWidget*) override {
        p->setClipRect(chart_->plotArea().adjusted(0, -6, 0, 0));
        for (const auto& d : drawn) {
            // Smoothing and a wider pen show where a line has room; a line
            // denser than the pixels gains nothing from them and costs
            // several times as much to draw.
            const bool room = d.points.size() < chart_->plotArea().width();
            p->setRenderHint(QPainter::Antialiasing, room);
            if (!d.marks) {
                QPen pen = d.pen;
                if (room) pen.setWidthF(pen.widthF() + 0.6);
                p->setPen(pen);
                // In pieces: the rasterizer's cost grows with the edges of the
                // whole stroke times its height, and a dense line covers the plot.
                constexpr qsizetype kPiece = 64;
                for (qsizetype i = 0; i + 1 < d.points.size(); i += kPiece)
                    p->drawPolyline(d.points.constData() + i, int(std::min(kPiece + 1, d.points.size() - i)));
                continue;
            }
            p->setPen(Qt::NoPen);
            p->setBrush(d.pen.color());
            for (const QPointF& at : d.points)
                p->drawPolygon(QPolygonF({at + QPointF(0, -5), at + QPointF(4.5, 3), at + QPointF(-4.5, 3)}));
        }
    }
    void changed() {
        prepareGeometryChange();
        update();
    }

private:
    QChart* chart_;
};

TimeChartView::TimeChartView(QChart* chart, RangeRequest request, std::function<void()> reset)
    : QChartView(chart), request_(std::move(request)), reset_(std::move(reset)) {
    setRenderHint(QPainter::Antialiasing);
    setMinimumHeight(140);
}

double TimeChartView::valueAt(double px) const {
    const QRectF plot = chart()->plotArea();
    const auto [from, to] = currentRange();
    return from + (px - plot.left()) / std::max<qreal>(1, plot.width()) * (to - from);
}

void TimeChartView::wheelEvent(QWheelEvent* e) {
    const auto [from, to] = currentRange();
    const double at = valueAt(e->position().x());
    const double factor = std::pow(0.8, e->angleDelta().y() / 120.0);
    request_(at - (at - from) * factor, at + (to - at) * factor);
    e->accept();
}

void TimeChartView::mousePressEvent(QMouseEvent* e) {
    pressAt_ = e->pos();
    pressRange_ = currentRange();
    dragging_ = e->button();
    if (dragging_ == Qt::LeftButton) {
        if (!band_) band_ = new QRubberBand(QRubberBand::Rectangle, this);
        const QRectF plot = chart()->plotArea();
        band_->setGeometry(QRect(QPoint(pressAt_.x(), int(plot.top())), QSize(1, int(plot.height()))));
        band_->show();
    }
    e->accept();
}

void TimeChartView::mouseMoveEvent(QMouseEvent* e) {
    if (dragging_ == Qt::LeftButton && band_) {
        const QRectF plot = chart()->plotArea();
        const int a = std::min(pressAt_.x(), e->pos().x()), b = std::max(pressAt_.x(), e->pos().x());
        band_->setGeometry(QRect(a, int(plot.top()), b - a + 1, int(plot.height())));
    } else if (dragging_ == Qt::RightButton || dragging_ == Qt::MiddleButton) {
        const auto [from, to] = pressRange_;
        const double shift = (pressAt_.x() - e->pos().x()) / std::max<qreal>(1, chart()->plotArea().width()) * (to - from);
        request_(from + shift, to + shift);
    }
    e->accept();
}

void TimeChartView::mouseReleaseEvent(QMouseEvent* e) {
    if (dragging_ == Qt::LeftButton && band_) {
        band_->hide();
        // A click is not a band: a few pixels of jitter zoom nowhere.
        if (std::abs(e->pos().x() - pressAt_.x()) > 4) {
            const double a = valueAt(pressAt_.x()), b = valueAt(e->pos().x());
            request_(std::min(a, b), std::max(a, b));
        }
    }
    dragging_ = Qt::NoButton;
    e->accept();
}

void TimeChartView::mouseDoubleClickEvent(QMouseEvent* e) {
    reset_();
    e->accept();
}

QColor ChartsPanel::depthColour(int depth) {
    // Warm near the surface, cool deeper down: the order of the depths reads
    // from the colours without the legend.
    static const QColor colours[6] = {QColor(0xd7, 0x30, 0x1f), QColor(0xf4, 0x8a, 0x2b), QColor(0xc9, 0xa8, 0x00),
                                      QColor(0x4d, 0xa8, 0x4a), QColor(0x2b, 0x7b, 0xba), QColor(0x5e, 0x3c, 0x99)};
    return colours[std::clamp(depth, 0, 5)];
}

QColor ChartsPanel::totalColour() { return QColor(0x20, 0x20, 0x20); }

ChartsPanel::ChartsPanel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    title_ = new QLabel(this);
    title_->setAlignment(Qt::AlignCenter);
    QFont f = title_->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.2);
    title_->setFont(f);
    layout->addWidget(title_);

    charts_[0] = makeChart(tr("Soil water (%)"), waterAxis_);
    charts_[1] = makeChart(tr("Soil temperature (degrees)"), tempAxis_);
    charts_[2] = makeChart(tr("Supply voltage (V)"), voltsAxis_);
    totalAxis_ = new QValueAxis;
    totalAxis_->setTitleText(tr("Profile total"));
    totalAxis_->setLabelFormat("%.0f");
    totalAxis_->setGridLineVisible(false);
    charts_[0]->addAxis(totalAxis_, Qt::AlignRight);
    voltsAxis_->setLabelFormat("%.1f");
    waterAxis_->setLabelFormat("%.0f");
    tempAxis_->setLabelFormat("%.0f");

    for (int d = 0; d < 6; ++d)
        lines_.push_back({addLine(charts_[0], waterAxis_, tr("Depth %1").arg(d + 1), depthColour(d), 1.0), {}});
    lines_.push_back({addLine(charts_[0], totalAxis_, tr("Profile total"), totalColour(), 2.0), {}});
    for (int d = 0; d < 6; ++d)
        lines_.push_back({addLine(charts_[1], tempAxis_, tr("Depth %1").arg(d + 1), depthColour(d), 1.0), {}});
    lines_.push_back({addLine(charts_[2], voltsAxis_, tr("Supply"), QColor(0x2b, 0x7b, 0xba), 1.0), {}});
    auto* fails = new QScatterSeries;
    fails->setName(tr("Power fail"));
    fails->setMarkerShape(QScatterSeries::MarkerShapeTriangle);
    fails->setMarkerSize(9);
    fails->setColor(QColor(0xc0, 0x10, 0x10));
    fails->setBorderColor(QColor(0xc0, 0x10, 0x10));
    charts_[2]->addSeries(fails);
    fails->attachAxis(timeAxes_[2]);
    fails->attachAxis(voltsAxis_);
    lines_.push_back({fails, {}});

    fullLine_ = addLine(charts_[0], totalAxis_, tr("Full point"), QColor(0x1f, 0x5f, 0xbf), 1.5);
    refillLine_ = addLine(charts_[0], totalAxis_, tr("Refill point"), QColor(0xc0, 0x30, 0x30), 1.5);
    for (auto* l : {fullLine_, refillLine_}) {
        QPen p = l->pen();
        p.setStyle(Qt::DashLine);
        l->setPen(p);
    }
    auto* low = addLine(charts_[2], voltsAxis_, tr("3.4 V"), QColor(0xc0, 0x30, 0x30), 1.2);
    QPen p = low->pen();
    p.setStyle(Qt::DashLine);
    low->setPen(p);
    lines_.push_back({low, {}});  // two points, redrawn like the rest

    for (int i = 0; i < 3; ++i) {
        auto* view = new TimeChartView(
            charts_[i], [this](double a, double b) { setRange(a, b); }, [this] { resetRange(); });
        view->currentRange = [this] { return std::make_pair(from_, to_); };
        view->resized = [this] { redraw(); };
        layout->addWidget(view, i == 0 ? 5 : 4);
        // Only the lowest chart names the times; the others share its axis.
        timeAxes_[i]->setLabelsVisible(i == 2);
    }
}

QChart* ChartsPanel::makeChart(const QString& title, QValueAxis*& yAxis) {
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignTop);
    QFont lf = chart->legend()->font();
    lf.setPointSizeF(lf.pointSizeF() * 0.85);
    chart->legend()->setFont(lf);
    chart->setMargins(QMargins(4, 2, 4, 2));
    auto* time = new QCategoryAxis;
    time->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    chart->addAxis(time, Qt::AlignBottom);
    yAxis = new QValueAxis;
    chart->addAxis(yAxis, Qt::AlignLeft);
    auto* shade = new QValueAxis;
    shade->setRange(0, 1);
    shade->setVisible(false);
    chart->addAxis(shade, Qt::AlignRight);
    layers_[made_] = new PlotLayer(chart);
    timeAxes_[made_] = time;
    shadeAxes_[made_] = shade;
    ++made_;
    // Gaps behind everything else.
    auto* gaps = new QAreaSeries(new QLineSeries(chart));
    gaps->setName(tr("Gap"));
    gaps->setColor(QColor(120, 120, 120, 60));
    gaps->setBorderColor(Qt::transparent);
    chart->addSeries(gaps);
    gaps->attachAxis(time);
    gaps->attachAxis(shade);
    shades_.push_back(gaps);
    return chart;
}

QLineSeries* ChartsPanel::addLine(QChart* chart, QValueAxis* yAxis, const QString& name, QColor colour, qreal width) {
    auto* s = new QLineSeries;
    s->setName(name);
    QPen pen(colour);
    pen.setWidthF(width);
    s->setPen(pen);
    chart->addSeries(s);
    const int slot = chart == charts_[0] ? 0 : chart == charts_[1] ? 1 : 2;
    s->attachAxis(timeAxes_[slot]);
    s->attachAxis(yAxis);
    return s;
}

void ChartsPanel::addShade(QChart* chart, QAreaSeries* area) {
    chart->addSeries(area);
    for (auto* m : chart->legend()->markers(area)) m->setVisible(false);
}

void ChartsPanel::setProbe(int32_t probe, std::span<const Reading> r, ProbePoints points) {
    kvr::viewer::LocalZone zone;
    x_.resize(r.size());
    for (auto& l : lines_) l.y.assign(r.size(), kNaN);
    double wLo = 1e9, wHi = 10, tLo = 1e9, tHi = -1e9, vLo = 3.0, vHi = 4.0;
    totalLow_ = 1e9;
    totalHigh_ = -1e9;
    for (std::size_t i = 0; i < r.size(); ++i) {
        x_[i] = double(zone.epoch(r[i].time)) * 1000.0;
        if (r[i].hasDepths()) {
            double total = 0;
            for (int d = 0; d < 6; ++d) {
                const double w = hundredths(r[i].water[d]), t = hundredths(r[i].temp[d]);
                lines_[d].y[i] = w;
                lines_[7 + d].y[i] = t;
                total += w;
                wHi = std::max(wHi, w);
                wLo = std::min(wLo, w);
                tLo = std::min(tLo, t);
                tHi = std::max(tHi, t);
            }
            lines_[6].y[i] = total;
            totalLow_ = std::min(totalLow_, total);
            totalHigh_ = std::max(totalHigh_, total);
        }
        if (r[i].hasVolts()) {
            const double v = hundredths(r[i].volts);
            lines_[13].y[i] = v;
            vLo = std::min(vLo, v);
            vHi = std::max(vHi, v);
        }
    }
    if (tLo > tHi) tLo = 0, tHi = 30;
    if (totalLow_ > totalHigh_) totalLow_ = 0, totalHigh_ = 100;
    niceAxis(waterAxis_, wLo > wHi ? 0 : std::max(0.0, wLo - 2), wHi + 2, 6);
    niceAxis(tempAxis_, tLo - 1, tHi + 1, 6);
    niceAxis(voltsAxis_, vLo - 0.1, vHi + 0.1, 5);
    // Power-fail marks sit just above the bottom of the voltage plot.
    const double markY = voltsAxis_->min() + (voltsAxis_->max() - voltsAxis_->min()) * 0.06;
    for (std::size_t i = 0; i < r.size(); ++i)
        if (r[i].powerFail) lines_[14].y[i] = markY;
    dataFrom_ = r.empty() ? 0 : x_.front();
    dataTo_ = r.empty() ? 1 : std::max(x_.back(), x_.front() + kHourMs);
    // The 3.4 V line: two points over the data.
    lines_[15].y.assign(r.size(), kNaN);
    if (!r.empty()) {
        lines_[15].y.front() = kvr::viewer::kLowVolts / 100.0;
        lines_[15].y.back() = kvr::viewer::kLowVolts / 100.0;
    }

    // Gaps shaded on all three charts.
    QList<QPointF> steps;
    for (const auto& g : kvr::viewer::findGaps(r)) {
        const double a = double(zone.epoch(g.from)) * 1000.0, b = double(zone.epoch(g.to)) * 1000.0;
        steps << QPointF(a, 0) << QPointF(a, 1) << QPointF(b, 1) << QPointF(b, 0);
    }
    for (auto* s : shades_) {
        s->upperSeries()->replace(steps);
        for (auto* m : s->chart()->legend()->markers(s)) m->setVisible(!steps.isEmpty());
    }
    probe_ = probe;
    setPoints(points);
    resetRange();
}

void ChartsPanel::setPoints(ProbePoints points) {
    double lo = totalLow_, hi = totalHigh_;
    QList<QPointF> full, refill;
    if (points.full > 0) full << QPointF(dataFrom_, points.full) << QPointF(dataTo_, points.full);
    if (points.refill > 0) refill << QPointF(dataFrom_, points.refill) << QPointF(dataTo_, points.refill);
    fullLine_->replace(full);
    refillLine_->replace(refill);
    for (auto* l : {fullLine_, refillLine_})
        for (auto* m : charts_[0]->legend()->markers(l)) m->setVisible(l->count() > 0);
    if (band_) {
        charts_[0]->removeSeries(band_);
        delete band_;
        band_ = nullptr;
    }
    if (points.full > 0 && points.refill > 0) {
        const double a = std::min(points.full, points.refill), b = std::max(points.full, points.refill);
        auto* upper = new QLineSeries;
        auto* lower = new QLineSeries;
        upper->append({QPointF(dataFrom_, b), QPointF(dataTo_, b)});
        lower->append({QPointF(dataFrom_, a), QPointF(dataTo_, a)});
        band_ = new QAreaSeries(upper, lower);
        upper->setParent(band_);  // the area does not own its edges
        lower->setParent(band_);
        band_->setColor(QColor(0x4d, 0xa8, 0x4a, 55));
        band_->setBorderColor(Qt::transparent);
        addShade(charts_[0], band_);
        band_->attachAxis(timeAxes_[0]);
        band_->attachAxis(totalAxis_);
    }
    for (double v : {points.full, points.refill})
        if (v > 0) lo = std::min(lo, v), hi = std::max(hi, v);
    const double pad = std::max(5.0, (hi - lo) * 0.08);
    niceAxis(totalAxis_, std::max(0.0, lo - pad), hi + pad, 6);
    if (!x_.empty()) redraw();
}

void ChartsPanel::setRange(double from, double to) {
    // Never wider than the data, never narrower than an hour.
    const double full = dataTo_ - dataFrom_;
    double span = std::clamp(to - from, std::min(kHourMs, full), full);
    double mid = (from + to) / 2;
    from = std::clamp(mid - span / 2, dataFrom_, dataTo_ - span);
    to = from + span;
    from_ = from;
    to_ = to;
    const auto in = std::lower_bound(x_.begin(), x_.end(), from_), out = std::upper_bound(x_.begin(), x_.end(), to_);
    auto when = [](double ms) { return QDateTime::fromMSecsSinceEpoch(qint64(ms)).toString("yyyy-MM-dd HH:mm"); };
    title_->setText(tr("Probe %1   %2 to %3   %4 readings")
                        .arg(probe_, 5, 10, QLatin1Char('0'))
                        .arg(when(from_), when(to_))
                        .arg(out - in));
    redraw();
    emit rangeChanged(from_, to_);
}

void ChartsPanel::redraw() {
    const QRectF plot = charts_[0]->plotArea();
    const int columns = plot.width() > 10 ? int(plot.width()) : 1000;
    const auto ticks = calendarTicks(from_, to_, std::max(2, columns / 95));
    for (auto* axis : timeAxes_) {
        for (const QString& label : axis->categoriesLabels()) axis->remove(label);
        for (const auto& [at, label] : ticks) axis->append(label, at);
        axis->setRange(from_, to_);
        axis->setStartValue(from_);
    }
    for (auto* layer : layers_) layer->drawn.clear();
    for (auto& l : lines_) {
        kvr::viewer::reduce(x_, l.y, from_, to_, columns, scratch_);
        QChart* chart = l.series->chart();
        const int at = chart == charts_[0] ? 0 : chart == charts_[1] ? 1 : 2;
        const auto* axis = static_cast<QValueAxis*>(l.series->attachedAxes().back());
        const QRectF area = chart->plotArea();
        const double sx = area.width() / (to_ - from_), sy = area.height() / (axis->max() - axis->min());
        QPolygonF points(static_cast<qsizetype>(scratch_.size()));
        for (std::size_t k = 0; k < scratch_.size(); ++k)
            points[qsizetype(k)] = QPointF(area.left() + (scratch_[k].x - from_) * sx,
                                           area.bottom() - (scratch_[k].y - axis->min()) * sy);
        const bool marks = qobject_cast<QScatterSeries*>(l.series) != nullptr;
        layers_[at]->drawn.push_back({marks ? QPen(static_cast<QScatterSeries*>(l.series)->color()) : l.series->pen(),
                                      marks, std::move(points)});
    }
    for (auto* layer : layers_) layer->changed();
}

void TimeChartView::resizeEvent(QResizeEvent* e) {
    QChartView::resizeEvent(e);
    const QSizeF s = chart()->size();
    chart()->setPlotArea(QRectF(kLeft, kTop, std::max<qreal>(10, s.width() - kLeft - kRight),
                                std::max<qreal>(10, s.height() - kTop - kBottom)));
    if (resized) resized();
}

}  // namespace kvr::osprey
