#include "library/programfile.h"

#include "common/paths.h"
#include "library/fileaccess.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

using fileaccess::InFile;
using fileaccess::OpenExisting;

bool FileExists(const QString& path) {
    if (path.isEmpty()) return false;
    if (QFileInfo::exists(path)) return true;
    const QString other = ResolveCase(path);
    return other != path && QFileInfo::exists(other);
}

bool FolderExists(const QString& path) {
    if (path.isEmpty()) return false;
    return QFileInfo(ResolveCase(path)).isDir();
}

QByteArray ReadProgramFile(const QString& path) {
    ProgramTextReader reader;
    return reader.open(path) ? reader.readAll() : QByteArray();
}

QByteArray FileDigest(const QString& path) {
    InFile file;
    if (!OpenExisting(file, path)) return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray piece(256 * 1024, Qt::Uninitialized);
    for (qint64 n; (n = file.read(piece.data(), piece.size())) > 0;) hash.addData(QByteArrayView(piece.constData(), n));
    return hash.result();
}

QString NameWithoutExt(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.left(dot);
}

int FileKind(const QString& name) {
    if (name.isEmpty()) return 0;
    switch (name.at(0).unicode()) {
    case 'O':
    case 'G':
    case 'N':
        return 2;
    case 'K':
        return 3;
    case 'T':
        return 4;
    default:
        return 0;
    }
}

QDateTime FileTimeToDate(const QDateTime& fileTime) {
    if (!fileTime.isValid()) return {};
    const qint64 ms = fileTime.toMSecsSinceEpoch();
    const qint64 secs = ms >= 0 ? ms / 1000 : -((999 - ms) / 1000);
    return QDateTime::fromSecsSinceEpoch(secs, Qt::LocalTime);
}

namespace {
// n / divisor, halves to the even neighbour.
quint64 DivideHalfEven(quint64 n, quint64 divisor) {
    quint64 q = n / divisor;
    const quint64 r = n % divisor;
    if (r > divisor - r || (r == divisor - r && (q & 1))) ++q;
    return q;
}
}  // namespace

QString SizeText(qint64 bytes) {
    static const char* const units[] = {"B", "kB", "MB", "GB"};
    if (bytes <= 0) return QStringLiteral("0 B");
    const auto n = static_cast<quint64>(bytes);
    // The unit: log1024(n) - 0.5 rounded half to even, which is the whole
    // part of log1024(n) except for an exact odd power of 1024.
    int e = 0;
    quint64 unit = 1;
    while (e < 3 && n / unit >= 1024) {
        unit *= 1024;
        ++e;
    }
    if (n == unit && e % 2 == 1) {
        unit /= 1024;
        --e;
    }
    return QString::number(DivideHalfEven(n, unit)) + QLatin1Char(' ') + QLatin1String(units[e]);
}

qint64 BlockCount(qint64 bytes) {
    qint64 q = bytes >> 7;  // floor, also below zero
    const qint64 r = bytes - q * 128;
    if (r > 64 || (r == 64 && (q & 1))) ++q;
    return q;
}

QString ProgramLockPath(const QString& target) {
    const QFileInfo program(target);
    const QString folder = JoinPath(program.absolutePath(), QLatin1String(kLockFolderName));
    QDir().mkpath(folder);
    return JoinPath(folder, program.fileName() + QStringLiteral(".lck"));
}

bool LockProgram(QLockFile& lock, int waitMs) {
    lock.setStaleLockTime(30000);
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        if (lock.tryLock(0)) return true;
        if (lock.error() != QLockFile::LockFailedError) return false;
        // QLockFile writes its owner right after making the file, and holds
        // the ".rmlock" beside it only while it removes a dead owner's lock:
        // either still there a second later belongs to a process that died
        // in between, and would keep the lock from being taken for 30 s.
        const auto old = [](const QFileInfo& f) {
            return f.exists() && f.lastModified().msecsTo(QDateTime::currentDateTime()) > 1000;
        };
        if (const QFileInfo removal(lock.fileName() + QStringLiteral(".rmlock")); old(removal)) {
            QFile::remove(removal.filePath());
            continue;
        }
        qint64 pid = 0;
        QString host, app;
        if (!lock.getLockInfo(&pid, &host, &app) && old(QFileInfo(lock.fileName()))) {
            lock.removeStaleLockFile();
            continue;
        }
        if (deadline.hasExpired()) return false;
        QThread::msleep(20);
    }
}
