#include "apps/heron/windows.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QStringList>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>

#include "apps/heron/heron_run.h"
#include "web_dump/dump_history.h"
#include "web_dump/internet_setup.h"

namespace kvr::heron {

namespace {
QString q(const std::string& s) { return QString::fromStdString(s); }

// Shows a file in the user's viewer. Called from the download's worker, so
// the desktop call is queued to the GUI thread.
void openInViewer(const std::filesystem::path& file) {
    QString path = q(file.string());
    QMetaObject::invokeMethod(
        qApp, [path] { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }, Qt::QueuedConnection);
}
}  // namespace

// ---------------------------------------------------------------- download

DownloadWindow::DownloadWindow() {
    setWindowTitle("KVR Probe Server");
    auto* layout = new QVBoxLayout(this);
    lbl_ = new QLabel("Connecting, please wait ...", this);
    lbl_->setObjectName("lbl");
    lbl_->setMinimumWidth(320);
    pgb_ = new QProgressBar(this);
    pgb_->setObjectName("pgb");
    pgb_->setRange(0, 100);
    pgb_->setValue(0);
    layout->addWidget(lbl_);
    layout->addWidget(pgb_);
}

void DownloadWindow::setStatus(const QString& text) { lbl_->setText(text); }
void DownloadWindow::setProgress(int percent) { pgb_->setValue(percent); }

void DownloadWindow::closeEvent(QCloseEvent* e) {
    if (qt::jobRunning()) qt::requestStop();
    e->accept();
}

// ---------------------------------------------------------------- probes

ProbesDialog::ProbesDialog(qt::ProgramContext& ctx, QWidget* parent) : QDialog(parent), ctx_(ctx) {
    setWindowTitle("Probes");
    auto* layout = new QHBoxLayout(this);
    lst_ = new QListWidget(this);
    lst_->setObjectName("lst");
    layout->addWidget(lst_, 1);
    auto* buttons = new QVBoxLayout;
    const char* captions[] = {"&Add", "&Edit", "&Delete", "OK", "Cancel"};
    QPushButton* cmd[5];
    for (int i = 0; i < 5; ++i) {
        cmd[i] = new QPushButton(captions[i], this);
        cmd[i]->setAutoDefault(false);
        buttons->addWidget(cmd[i]);
    }
    buttons->addStretch(1);
    layout->addLayout(buttons);
    resize(260, 300);

    editor_.load(ctx_.options().folder);
    // The window opens with no entry selected ("Edit" and "Delete" then do
    // nothing); the list would pick its first entry when it took the focus.
    refill(-1);
    cmd[0]->setFocus();

    connect(cmd[0], &QPushButton::clicked, this, [this] {
        auto screen = ctx_.guiScreen(*this);
        int i = editor_.add(*screen);
        if (i >= 0) refill(i);
    });
    connect(cmd[1], &QPushButton::clicked, this, [this] {
        auto screen = ctx_.guiScreen(*this);
        int i = selectedRow();
        if (editor_.edit(*screen, i)) refill(i);
    });
    connect(cmd[2], &QPushButton::clicked, this, [this] {
        auto screen = ctx_.guiScreen(*this);
        int i = selectedRow();
        if (editor_.remove(*screen, i)) refill(std::min(i, static_cast<int>(editor_.entries.size()) - 1));
    });
    connect(cmd[3], &QPushButton::clicked, this, [this] {
        std::string error;
        if (!editor_.save(ctx_.options().folder, error)) {
            auto screen = ctx_.guiScreen(*this);
            screen->messageBox("The probe list could not be saved: " + error, "ERROR", Icon::Exclamation,
                               Buttons::Ok);
            return;
        }
        accept();
    });
    // QDialog already maps Escape to reject(), which is "Cancel".
    connect(cmd[4], &QPushButton::clicked, this, &QDialog::reject);
}

int ProbesDialog::selectedRow() const { return lst_->selectedItems().isEmpty() ? -1 : lst_->currentRow(); }

void ProbesDialog::refill(int select) {
    lst_->clear();
    for (const auto& e : editor_.entries) lst_->addItem(q(e));
    if (select >= 0 && select < lst_->count()) lst_->setCurrentRow(select);
}

// ---------------------------------------------------------------- internet

SetupInternetDialog::SetupInternetDialog(qt::ProgramContext& ctx, QWidget* parent) : QDialog(parent), ctx_(ctx) {
    setWindowTitle("Setup Internet");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    cbo_ = new QComboBox(this);
    cbo_->addItems({"Default", "Direct", "Proxy"});
    form->addRow("Proxy &setting", cbo_);
    const char* labels[] = {"- proxy se&rver", "- &bypass list", "- &username", "- &password", "- &data server"};
    for (int i = 0; i < 5; ++i) {
        txt_[i] = new QLineEdit(this);
        txt_[i]->setMinimumWidth(260);
        form->addRow(labels[i], txt_[i]);
    }
    txt_[0]->setToolTip("Set to a proxy server string.");
    txt_[1]->setToolTip("Set to a domain bypass list string.");
    txt_[3]->setEchoMode(QLineEdit::Password);
    txt_[3]->setStyleSheet("lineedit-password-character: 42");  // "*" for every character
    txt_[4]->setToolTip("Host (and port) of the web data service.");
    layout->addLayout(form);

    auto* row = new QHBoxLayout;
    row->addStretch(1);
    auto* ok = new QPushButton("OK", this);
    auto* cancel = new QPushButton("Cancel", this);
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
    ok->setDefault(true);

    web::InternetSetup v = web::loadInternetSetup(ctx_.settings());
    cbo_->setCurrentIndex(v.mode);
    txt_[0]->setText(q(v.server));
    txt_[1]->setText(q(v.bypass));
    txt_[2]->setText(q(v.username));
    txt_[3]->setText(q(v.password));
    txt_[4]->setText(q(v.dataServer));

    connect(ok, &QPushButton::clicked, this, [this] {
        save();
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void SetupInternetDialog::save() {
    web::InternetSetup v;
    v.mode = cbo_->currentIndex();
    v.server = txt_[0]->text().toStdString();
    v.bypass = txt_[1]->text().toStdString();
    v.username = txt_[2]->text().toStdString();
    v.password = txt_[3]->text().toStdString();
    v.dataServer = txt_[4]->text().toStdString();
    web::saveInternetSetup(ctx_.settings(), v);
}

// ---------------------------------------------------------------- history

namespace {

// A dump file as table rows, read from the file as the view shows them.
class DumpModel : public QAbstractTableModel {
public:
    DumpModel(const std::filesystem::path& folder, int number) : lines_(folder, number) {
        // The columns are those of the first lines (the header and a few rows).
        for (std::size_t i = 0; i < lines_.size() && i < 200; ++i) {
            std::string line = lines_.line(i);
            columns_ = std::max(columns_, static_cast<int>(std::count(line.begin(), line.end(), '\t')) + 1);
        }
    }
    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(std::min<std::size_t>(lines_.size(), INT32_MAX));
    }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : columns_; }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid()) return {};
        if (index.row() != cachedRow_) {  // a row is asked for cell by cell
            cachedRow_ = index.row();
            cached_ = q(lines_.line(static_cast<std::size_t>(index.row()))).split('\t');
        }
        return index.column() < cached_.size() ? QVariant(cached_[index.column()]) : QVariant();
    }

private:
    web::DumpLineIndex lines_;
    int columns_ = 0;
    mutable int cachedRow_ = -1;
    mutable QStringList cached_;
};

}  // namespace

DumpHistoryDialog::DumpHistoryDialog(const std::filesystem::path& folder, QWidget* parent)
    : QDialog(parent), folder_(folder) {
    setWindowTitle("Dump History");
    auto* layout = new QHBoxLayout(this);
    lst_ = new QListWidget(this);
    lst_->setObjectName("lst");
    lst_->setMaximumWidth(200);
    dat_ = new QTableView(this);
    dat_->setObjectName("dat");
    dat_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dat_->horizontalHeader()->setVisible(false);
    dat_->verticalHeader()->setVisible(false);
    dat_->setShowGrid(false);
    dat_->setWordWrap(false);
    // Fixed row heights and column widths from the first rows: nothing is
    // measured over the whole file.
    dat_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    dat_->verticalHeader()->setDefaultSectionSize(dat_->fontMetrics().height() + 4);
    dat_->horizontalHeader()->setResizeContentsPrecision(100);
    layout->addWidget(lst_);
    layout->addWidget(dat_, 1);
    resize(900, 420);

    QApplication::setOverrideCursor(Qt::WaitCursor);
    for (const auto& e : web::dumpHistoryEntries(folder_)) lst_->addItem(q(e));
    QApplication::restoreOverrideCursor();
    connect(lst_, &QListWidget::currentRowChanged, this, [this] { showDump(); });
    if (lst_->count() > 0) lst_->setCurrentRow(0);
}

DumpHistoryDialog::~DumpHistoryDialog() { dat_->setModel(nullptr); }

void DumpHistoryDialog::showDump() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    auto* item = lst_->currentItem();
    auto model = std::make_unique<DumpModel>(folder_, item ? web::dumpNumberOfEntry(item->text().toStdString()) : -1);
    dat_->setModel(model.get());
    model_ = std::move(model);
    dat_->resizeColumnsToContents();
    QApplication::restoreOverrideCursor();
}

// ---------------------------------------------------------------- menu

MainMenu::MainMenu(qt::ProgramContext& ctx) : ctx_(ctx) {
    setWindowTitle("KVR Probe Server");
    auto* row = new QHBoxLayout(this);
    const char* captions[] = {"&Dump Data", "&Reload Data", "Setup &Probes", "Setup &Internet", "Dump &History"};
    QPushButton* cmd[5];
    for (int i = 0; i < 5; ++i) {
        cmd[i] = new QPushButton(captions[i], this);
        row->addWidget(cmd[i]);
    }
    connect(cmd[0], &QPushButton::clicked, this, [this] { dumpData(); });
    connect(cmd[1], &QPushButton::clicked, this, [this] { reloadData(); });
    connect(cmd[2], &QPushButton::clicked, this, [this] { openProbes(); });
    connect(cmd[3], &QPushButton::clicked, this, [this] {
        SetupInternetDialog d(ctx_, this);
        d.exec();
    });
    connect(cmd[4], &QPushButton::clicked, this, [this] {
        DumpHistoryDialog d(ctx_.options().folder, this);
        d.exec();
    });
}

void MainMenu::openProbes() {
    ProbesDialog d(ctx_, this);
    d.exec();
}

void MainMenu::closeEvent(QCloseEvent* e) {
    // Closing the menu ends the program; a running download ends first.
    // The download window stays until its run has ended; the run's end then
    // quits the program (the menu is no longer visible).
    if (qt::jobRunning()) qt::requestStop();
    e->accept();
}

void MainMenu::dumpData() { startDownload(web::dumpStartDate(ctx_.settings(), ctx_.clock()), true); }

void MainMenu::reloadData() {
    auto screen = ctx_.guiScreen(*this);
    std::string date = screen->inputBox(kReloadPrompt, kReloadTitle, web::defaultStartDate(ctx_.clock()));
    if (!date.empty()) startDownload(date, false);
}

void MainMenu::startDownload(const std::string& fDate, bool fromProbeDates) {
    if (qt::jobRunning()) return;  // one download at a time
    qt::clearStopRequest();
    download_ = std::make_unique<DownloadWindow>();
    download_->show();
    auto report = std::make_shared<web::DumpReport>();
    auto folder = ctx_.options().folder;
    bool started = ctx_.startJob(
        *download_, download_.get(),
        [folder, fDate, fromProbeDates, report](Platform& p, const AppOptions&) {
            return runDownload(p, folder, fDate, fromProbeDates, openInViewer, *report);
        },
        [this, report](int status) {
            if (report->result == web::DumpResult::NoProbes && status == 0) {
                download_.reset();
                openProbes();
                return;
            }
            if (report->result == web::DumpResult::NoDataServer && status == 0) {
                download_.reset();  // back to the menu, where "Setup Internet" is
                return;
            }
            if (!isVisible() || report->result != web::DumpResult::NoProbes) {
                // A finished download ends the program, as does closing the menu.
                ctx_.quit(status);
                return;
            }
            // The download window was closed before the run finished: the
            // menu stays for another try.
            qt::clearStopRequest();
            download_.reset();
        });
    if (!started) download_.reset();
}

void MainMenu::screenshots(const QString& folder) {
    QDir().mkpath(folder);
    auto save = [&](QWidget& w, const char* name) {
        w.show();
        w.adjustSize();
        QCoreApplication::processEvents();
        w.grab().save(folder + "/" + name + ".png");
    };
    save(*this, "menu");
    DownloadWindow dl;
    dl.setStatus("Downloading probe 12");
    dl.setProgress(33);
    save(dl, "download");
    ProbesDialog probes(ctx_, this);
    save(probes, "probes");
    SetupInternetDialog internet(ctx_, this);
    save(internet, "internet");
    DumpHistoryDialog history(ctx_.options().folder, this);
    history.show();
    QCoreApplication::processEvents();
    history.grab().save(folder + "/history.png");
}

}  // namespace kvr::heron
