#include "apps/osprey/viewer_window.h"

#include <charconv>
#include <cmath>

#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeWidget>

#include "viewer/probe_views.h"

namespace kvr::osprey {

namespace {

const std::string kApp = "KVR", kSection = "Viewer";

double storedNumber(kvr::Settings& s, const std::string& key) {
    const auto v = s.get(kApp, kSection, key);
    double d = 0;
    // Whatever the user's locale: the store holds "." decimals. A garbled
    // value means no point set.
    if (!v || std::from_chars(v->data(), v->data() + v->size(), d).ec != std::errc()) return 0;
    return std::isfinite(d) ? std::max(0.0, d) : 0;
}

QString text(const std::string& s) { return QString::fromStdString(s); }

// Sorts the numeric columns by number, not by text.
class ProbeItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& o) const override {
        const int c = treeWidget() ? treeWidget()->sortColumn() : 0;
        const QVariant a = data(c, Qt::UserRole), b = o.data(c, Qt::UserRole);
        if (a.isValid() && b.isValid()) return a.toDouble() < b.toDouble();
        return QTreeWidgetItem::operator<(o);
    }
};

}  // namespace

ProbePoints storedPoints(kvr::Settings& s, int32_t probe) {
    return {storedNumber(s, "Full" + std::to_string(probe)), storedNumber(s, "Refill" + std::to_string(probe))};
}

void storePoints(kvr::Settings& s, int32_t probe, ProbePoints p) {
    s.set(kApp, kSection, "Full" + std::to_string(probe), kvr::viewer::hundredthsText(std::llround(p.full * 100)));
    s.set(kApp, kSection, "Refill" + std::to_string(probe), kvr::viewer::hundredthsText(std::llround(p.refill * 100)));
}

ViewerWindow::ViewerWindow(kvr::Settings& settings) : settings_(settings) {
    setWindowTitle("KVR Probe Viewer");
    auto* bar = addToolBar(tr("View"));
    bar->setMovable(false);
    bar->addAction(tr("Open folder..."), this, [this] {
        const QString d = QFileDialog::getExistingDirectory(this, tr("Program folder"), text(folder_.string()));
        if (!d.isEmpty()) openFolder(d.toStdString());
    });
    bar->addAction(tr("Open files..."), this, [this] {
        const QStringList f = QFileDialog::getOpenFileNames(this, tr("Probe data files"), text(folder_.string()),
                                                            tr("Probe data (*.csv);;All files (*)"));
        std::vector<std::filesystem::path> files;
        for (const auto& s : f) files.push_back(s.toStdString());
        if (!files.empty()) openFiles(files);
    });
    dumps_ = new QCheckBox(tr("Dump files"), this);
    dumps_->setToolTip(tr("Also read the files in \"KVR Dumps\" (they carry the power-fail flag)"));
    dumps_->setChecked(settings_.get(kApp, kSection, "Dumps", "0") == "1");
    connect(dumps_, &QCheckBox::toggled, this, [this](bool on) {
        settings_.set(kApp, kSection, "Dumps", on ? "1" : "0");
        if (!folder_.empty()) openFolder(folder_);
    });
    bar->addWidget(dumps_);
    bar->addSeparator();
    bar->addWidget(new QLabel(tr(" From "), this));
    from_ = new QDateTimeEdit(this);
    to_ = new QDateTimeEdit(this);
    for (auto* e : {from_, to_}) {
        e->setDisplayFormat("yyyy-MM-dd HH:mm");
        e->setCalendarPopup(true);
        connect(e, &QDateTimeEdit::editingFinished, this, &ViewerWindow::rangeEdited);
    }
    bar->addWidget(from_);
    bar->addWidget(new QLabel(tr(" To "), this));
    bar->addWidget(to_);
    bar->addAction(tr("Reset zoom"), this, [this] { charts_->resetRange(); });
    bar->addSeparator();
    full_ = new QDoubleSpinBox(this);
    refill_ = new QDoubleSpinBox(this);
    for (auto* s : {full_, refill_}) {
        s->setRange(0, 2000);
        s->setDecimals(1);
        s->setSpecialValueText(tr("not set"));
        connect(s, &QDoubleSpinBox::editingFinished, this, &ViewerWindow::pointsEdited);
    }
    full_->setToolTip(tr("Profile total at which the soil is full (drains beyond it)"));
    refill_->setToolTip(tr("Profile total at which the soil needs water"));
    bar->addWidget(new QLabel(tr(" Full point "), this));
    bar->addWidget(full_);
    bar->addWidget(new QLabel(tr(" Refill point "), this));
    bar->addWidget(refill_);

    auto* split = new QSplitter(this);
    list_ = new QTreeWidget(split);
    list_->setHeaderLabels({tr("Probe"), tr("First reading"), tr("Last reading"), tr("Readings"), tr("Volts"), tr("Gaps")});
    list_->setRootIsDecorated(false);
    list_->setSortingEnabled(true);
    list_->setUniformRowHeights(true);
    list_->sortByColumn(0, Qt::AscendingOrder);
    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item) showProbe(item->data(0, Qt::UserRole).toInt());
    });
    charts_ = new ChartsPanel(split);
    split->addWidget(list_);
    split->addWidget(charts_);
    split->setStretchFactor(1, 1);
    setCentralWidget(split);
    connect(charts_, &ChartsPanel::rangeChanged, this, [this](double a, double b) {
        const QSignalBlocker b1(from_), b2(to_);
        from_->setDateTime(QDateTime::fromMSecsSinceEpoch(qint64(a)));
        to_->setDateTime(QDateTime::fromMSecsSinceEpoch(qint64(b)));
    });
    status_ = new QLabel(this);
    statusBar()->addWidget(status_, 1);
    resize(1600, 950);
    split->setSizes({560, 1040});
}

void ViewerWindow::openFolder(const std::filesystem::path& folder) {
    folder_ = folder;
    settings_.set(kApp, kSection, "Folder", folder.string());
    load(kvr::viewer::folderFiles(folder, dumps_->isChecked()), text(folder.string()));
}

void ViewerWindow::openFiles(const std::vector<std::filesystem::path>& files) {
    load(files, files.size() == 1 ? text(files.front().string()) : tr("%1 files").arg(files.size()));
}

void ViewerWindow::load(const std::vector<std::filesystem::path>& files, const QString& what) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    data_ = kvr::viewer::loadProbeData(files);
    const int32_t keep = probe_;
    probe_ = -1;
    list_->clear();
    list_->setSortingEnabled(false);
    QTreeWidgetItem* select = nullptr;
    for (const auto& p : data_.probes) {
        const auto s = kvr::viewer::summarize(p.probe, data_.of(p));
        auto* item = new ProbeItem(list_);
        item->setText(0, QString("%1").arg(s.probe, 5, 10, QLatin1Char('0')));
        item->setData(0, Qt::UserRole, s.probe);
        item->setText(1, text(kvr::viewer::shortDateTime(s.first)));
        item->setText(2, text(kvr::viewer::shortDateTime(s.last)));
        item->setText(3, QString::number(s.readings));
        item->setData(3, Qt::UserRole, double(s.readings));
        item->setText(4, s.lastVolts < 0 ? "-" : text(kvr::viewer::hundredthsText(s.lastVolts)) + (s.lowBattery() ? tr("  low") : ""));
        item->setData(4, Qt::UserRole, double(s.lastVolts));
        if (s.lowBattery()) item->setForeground(4, QColor(0xc0, 0x10, 0x10));
        item->setText(5, QString::number(s.gaps));
        item->setData(5, Qt::UserRole, double(s.gaps));
        for (int c = 3; c < 6; ++c) item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        if (p.probe == keep || !select) select = item;
    }
    list_->setSortingEnabled(true);
    for (int c = 0; c < 6; ++c) list_->resizeColumnToContents(c);
    std::size_t skipped = 0;
    QStringList failed;
    for (const auto& f : data_.files) {
        skipped += f.skipped;
        if (!f.error.empty()) failed << text(f.path.filename().string() + ": " + f.error);
    }
    QString msg = tr("%1: %2 readings of %3 probes from %4 files").arg(what).arg(data_.readings.size())
                      .arg(data_.probes.size()).arg(data_.files.size());
    if (data_.duplicates) msg += tr(", %1 duplicates dropped").arg(data_.duplicates);
    if (skipped) msg += tr(", %1 lines skipped (not whole rows)").arg(skipped);
    if (!failed.isEmpty()) msg += tr("; not readable: ") + failed.join("; ");
    if (files.empty()) msg = tr("%1: no probe data file found").arg(what);
    status_->setText(msg);
    setWindowTitle("KVR Probe Viewer - " + what);
    QApplication::restoreOverrideCursor();
    if (select) list_->setCurrentItem(select);
}

void ViewerWindow::selectProbe(int32_t probe) {
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
        if (list_->topLevelItem(i)->data(0, Qt::UserRole).toInt() == probe) list_->setCurrentItem(list_->topLevelItem(i));
}

void ViewerWindow::showProbe(int32_t probe) {
    const auto* range = data_.find(probe);
    if (!range || probe == probe_) return;
    probe_ = probe;
    const ProbePoints pts = storedPoints(settings_, probe);
    {
        const QSignalBlocker b1(full_), b2(refill_);
        full_->setValue(pts.full);
        refill_->setValue(pts.refill);
    }
    charts_->setProbe(probe, data_.of(*range), pts);
    for (auto* e : {from_, to_})
        e->setDateTimeRange(QDateTime::fromMSecsSinceEpoch(qint64(charts_->dataFrom())),
                            QDateTime::fromMSecsSinceEpoch(qint64(charts_->dataTo())));
}

void ViewerWindow::pointsEdited() {
    if (probe_ < 0) return;
    const ProbePoints pts{full_->value(), refill_->value()};
    storePoints(settings_, probe_, pts);
    charts_->setPoints(pts);
}

void ViewerWindow::rangeEdited() {
    const double a = double(from_->dateTime().toMSecsSinceEpoch()), b = double(to_->dateTime().toMSecsSinceEpoch());
    if (b > a) charts_->setRange(a, b);
}

}  // namespace kvr::osprey
