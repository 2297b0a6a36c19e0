#include "common/home.h"
#include "common/log.h"
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSet>
#include <QTemporaryDir>

namespace {
QString& Folder() {
    static QString folder;
    return folder;
}

// Where an installed program keeps the files a new program folder starts with.
QString InstalledDefaults(const QString& own) {
    return QDir::cleanPath(own + QStringLiteral("/../share/fenmo32"));
}

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

bool CopyTree(const QString& from, const QString& to) {
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(source);
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(source, target)) return false;
        QFile::setPermissions(target, kOwnerOnly);
    }
    return true;
}

// The user's program folder, built whole beside its place and renamed into
// it: a second first start at the same moment, or a crash half-way, finds
// either no folder or a complete one. It holds the shop's settings and
// logs, so only its user may read it.
void MakeUserFolder(const QString& user, const QString& defaults) {
    const QFileInfo info(user);
    if (!QDir().mkpath(info.absolutePath())) return;
    QTemporaryDir building(info.absoluteFilePath() + QStringLiteral(".ny-XXXXXX"));  // made 0700
    if (!building.isValid()) return;
    if (!CopyTree(defaults, building.path())) return;
    QDirIterator it(building.path(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) QFile::setPermissions(it.next(), kOwnerOnly | QFileDevice::ExeOwner);
    // Whoever renames first has made it; the other's copy goes with its QTemporaryDir.
    if (QDir().rename(building.path(), user)) building.setAutoRemove(false);
}
}  // namespace

QString UserProgramFolder(const QString& user, const QString& defaults) {
    if (!QFileInfo::exists(user)) MakeUserFolder(user, defaults);
    return user;
}

QString ProgramFolder() {
    if (!Folder().isEmpty() || !QCoreApplication::instance()) return Folder();
    static const QString chosen = [] {
        return UserProgramFolder(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
                                 InstalledDefaults(QCoreApplication::applicationDirPath()));
    }();
    return chosen;
}

void SetProgramFolder(const QString& folder) {
    Folder() = QDir::cleanPath(QDir(folder).absolutePath());
}

QString InProgramFolder(const QString& name) { return ProgramFolder() + QLatin1Char('/') + name; }

QString GeneralSettingsFile() { return InProgramFolder(QStringLiteral("Fenmo32.INI")); }

QString SharedFile(const QString& name) {
    const QString own = InProgramFolder(name);
    QString chosen = own;
    if (!QFileInfo::exists(own) && QCoreApplication::instance()) {
        const QString installed = InstalledDefaults(QCoreApplication::applicationDirPath()) + QLatin1Char('/') + name;
        if (QFileInfo::exists(installed)) chosen = installed;
    }
    // Once for each program folder and name: a server's log tells where its
    // models and error texts came from.
    static QSet<QString> told;
    if (chosen != own && !told.contains(own)) {
        told.insert(own);
        AddLog(QStringLiteral("%1 saknas i programmappen: programmet använder %2.")
                   .arg(name, QDir::toNativeSeparators(chosen)));
    }
    return chosen;
}
