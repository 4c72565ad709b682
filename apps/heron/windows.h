// Heron's windows: the menu, the download window and the three modal windows
// for the probe list, the internet setup and the dump history.
#pragma once

#include <filesystem>
#include <memory>

#include <QDialog>
#include <QWidget>

#include "platform/qt/gui_runner.h"
#include "platform/qt/program.h"
#include "web_dump/probe_editor.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QTableView;
class QAbstractItemModel;

namespace kvr::heron {

// The window shown while a download runs: a status line and a progress bar.
class DownloadWindow : public QWidget, public qt::WindowFace {
    Q_OBJECT
public:
    DownloadWindow();
    void setStatus(const QString& text) override;
    void setLed(int, char) override {}
    void setProgress(int percent) override;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    QLabel* lbl_;
    QProgressBar* pgb_;
};

class ProbesDialog : public QDialog {
    Q_OBJECT
public:
    ProbesDialog(qt::ProgramContext& ctx, QWidget* parent);

private:
    void refill(int select);
    int selectedRow() const;  // -1 when no entry is selected
    qt::ProgramContext& ctx_;
    web::ProbeListEditor editor_;
    QListWidget* lst_;
};

class SetupInternetDialog : public QDialog {
    Q_OBJECT
public:
    SetupInternetDialog(qt::ProgramContext& ctx, QWidget* parent);

private:
    void save();
    qt::ProgramContext& ctx_;
    QComboBox* cbo_;
    QLineEdit* txt_[5];
};

class DumpHistoryDialog : public QDialog {
    Q_OBJECT
public:
    DumpHistoryDialog(const std::filesystem::path& folder, QWidget* parent);
    ~DumpHistoryDialog() override;

private:
    void showDump();
    std::filesystem::path folder_;
    QListWidget* lst_;
    QTableView* dat_;
    std::unique_ptr<QAbstractItemModel> model_;
};

class MainMenu : public QWidget {
    Q_OBJECT
public:
    explicit MainMenu(qt::ProgramContext& ctx);
    // Saves a picture of every window into folder (a debugging aid).
    void screenshots(const QString& folder);

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void dumpData();
    void reloadData();
    void startDownload(const std::string& fDate, bool fromProbeDates);
    void openProbes();
    qt::ProgramContext& ctx_;
    std::unique_ptr<DownloadWindow> download_;
};

}  // namespace kvr::heron
