#include "common/home.h"
#include <QCoreApplication>
#include <QDir>

namespace {
QString& Folder() {
    static QString folder;
    return folder;
}
}  // namespace

QString ProgramFolder() {
    if (Folder().isEmpty() && QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return Folder();
}

void SetProgramFolder(const QString& folder) {
    Folder() = QDir::cleanPath(QDir(folder).absolutePath());
}

QString InProgramFolder(const QString& name) { return ProgramFolder() + QLatin1Char('/') + name; }

QString GeneralSettingsFile() { return InProgramFolder(QStringLiteral("Fenmo32.INI")); }
