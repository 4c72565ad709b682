#include "platform/qt/qt_settings.h"

#include <cstdlib>
#include <memory>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringList>

namespace kvr::qt {

namespace {

QString qs(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// A fresh QSettings per call: values written by another process (a test
// that maps a port, a second program) are seen at once.
std::unique_ptr<QSettings> open(const std::string& app) {
#ifdef _WIN32
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "kvr-probe", qs(app));
#else
    return std::make_unique<QSettings>(qs(QtSettings::filePath(app)), QSettings::IniFormat);
#endif
}

}  // namespace

std::string QtSettings::filePath(const std::string& app) {
#ifdef _WIN32
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "kvr-probe", qs(app)).fileName().toStdString();
#else
    // Named explicitly rather than left to QSettings, whose INI files on
    // Linux end in ".ini": the store is <config>/kvr-probe/<app>.conf.
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/kvr-probe/" + app + ".conf";
#endif
}

std::optional<std::string> QtSettings::get(const std::string& app, const std::string& section,
                                           const std::string& key) {
    auto s = open(app);
    s->beginGroup(qs(section));
    const QVariant v = s->value(qs(key));
    if (!v.isValid()) return std::nullopt;
    // A hand-written value with commas is read by QSettings as a list; the
    // store holds text, so give it back as the text it was.
    if (v.metaType().id() == QMetaType::QStringList) return v.toStringList().join(',').toStdString();
    return v.toString().toStdString();
}

void QtSettings::set(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& value) {
#ifndef _WIN32
    // A file that holds a password is the user's alone. It is made so before
    // the password is written: QSettings rewrites the file through a copy
    // that keeps the permissions of the file it replaces.
    if (QString::fromStdString(key).contains(QStringLiteral("Password"), Qt::CaseInsensitive)) {
        const QString path = qs(filePath(app));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        if (!f.exists() && f.open(QIODevice::WriteOnly)) f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
#endif
    auto s = open(app);
    s->beginGroup(qs(section));
    s->setValue(qs(key), qs(value));
    s->endGroup();
    s->sync();
}

}  // namespace kvr::qt
