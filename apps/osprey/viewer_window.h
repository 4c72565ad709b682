// The viewer's window: the probe list on the left, the charts of the chosen
// probe on the right, the time range and the probe's points above them.
#pragma once

#include <filesystem>
#include <vector>

#include <QCheckBox>
#include <QMainWindow>

#include "apps/osprey/charts_panel.h"
#include "core/platform.h"
#include "viewer/probe_data.h"

class QCheckBox;
class QDateTimeEdit;
class QDoubleSpinBox;
class QLabel;
class QTreeWidget;

namespace kvr::osprey {

// Settings of the viewer: application "KVR", section "Viewer".
ProbePoints storedPoints(kvr::Settings& settings, int32_t probe);
void storePoints(kvr::Settings& settings, int32_t probe, ProbePoints points);

class ViewerWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit ViewerWindow(kvr::Settings& settings);
    void openFolder(const std::filesystem::path& folder);
    void openFiles(const std::vector<std::filesystem::path>& files);
    void selectProbe(int32_t probe);
    // --dumps: read the dump files in this session, whatever was stored.
    void useDumps() { const QSignalBlocker b(dumps_); dumps_->setChecked(true); }

private:
    void load(const std::vector<std::filesystem::path>& files, const QString& what);
    void showProbe(int32_t probe);
    void pointsEdited();
    void rangeEdited();

    kvr::Settings& settings_;
    kvr::viewer::ProbeData data_;
    std::filesystem::path folder_;
    int32_t probe_ = -1;
    QTreeWidget* list_;
    ChartsPanel* charts_;
    QCheckBox* dumps_;
    QDateTimeEdit *from_, *to_;
    QDoubleSpinBox *full_, *refill_;
    QLabel* status_;
};

}  // namespace kvr::osprey
