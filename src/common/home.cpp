#include "common/home.h"
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
QString& Folder() {
    static QString folder;
    return folder;
}

// Where an installed program keeps the files a new program folder starts with.
QString InstalledDefaults(const QString& own) {
    return QDir::cleanPath(own + QStringLiteral("/../share/fenmo32"));
}

void CopyTree(const QString& from, const QString& to) {
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(source);
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile::copy(source, target);
    }
}
}  // namespace

QString ChooseProgramFolder(const QString& own, const QString& user, const QString& defaults) {
    if (QFileInfo(own).isDir() && QFileInfo(own).isWritable()) return own;
    if (!QFileInfo::exists(user)) {
        QDir().mkpath(user);
        CopyTree(defaults, user);
    }
    return user;
}

QString ProgramFolder() {
    if (!Folder().isEmpty() || !QCoreApplication::instance()) return Folder();
    static const QString chosen = [] {
        const QString own = QCoreApplication::applicationDirPath();
        return ChooseProgramFolder(own, QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
                                   InstalledDefaults(own));
    }();
    return chosen;
}

void SetProgramFolder(const QString& folder) {
    Folder() = QDir::cleanPath(QDir(folder).absolutePath());
}

QString InProgramFolder(const QString& name) { return ProgramFolder() + QLatin1Char('/') + name; }

QString GeneralSettingsFile() { return InProgramFolder(QStringLiteral("Fenmo32.INI")); }
