#include "common/savefile.h"
#include "common/fileerror.h"
#include "common/log.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
// Files whose last write failed: a disk that stays full is told once a file,
// and again only after a write of it has worked in between.
QSet<QString>& Failing() {
    static QSet<QString> failing;
    return failing;
}
}  // namespace

SafeFile::SafeFile(const QString& path) : file_(path) {}

SafeFile::~SafeFile() {
    if (!done_ && file_.isOpen()) file_.cancelWriting();
}

bool SafeFile::open() {
    // Unbuffered: ENOSPC shows at the write that meets it, and QSaveFile then
    // remembers it and refuses to put the file in place.
    if (file_.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return true;
    return fail();
}

bool SafeFile::write(const char* data, qint64 size) {
    if (failed_) return false;
    if (size == 0) return true;
    if (file_.write(data, size) == size) return true;
    return fail();
}

bool SafeFile::commit() {
    if (failed_ || !file_.isOpen()) return false;
    if (!file_.flush() || file_.error() != QFileDevice::NoError) return fail();
    done_ = true;
    if (file_.commit()) {
        Failing().remove(file_.fileName());
        SyncFolderOf(file_.fileName());
        return true;
    }
    done_ = false;
    return fail();
}

void SafeFile::cancel() {
    if (!failed_ && file_.isOpen() && file_.error() != QFileDevice::NoError) fail();
    if (file_.isOpen()) file_.cancelWriting();
    done_ = true;
}

bool SafeFile::fail() {
    if (failed_) return false;
    failed_ = true;
    const QString why = file_.errorString();
    failure_ = FileError(file_, file_.fileName());
    if (file_.isOpen()) file_.cancelWriting();
    if (Failing().contains(file_.fileName())) return false;
    Failing().insert(file_.fileName());
    AddLog(QStringLiteral("Kan inte skriva %1 (%2): den gamla filen är kvar.")
               .arg(QDir::toNativeSeparators(file_.fileName()), why));
    return false;
}

bool SaveWholeFile(const QString& path, const QByteArray& bytes) {
    SafeFile file(path);
    return file.open() && file.write(bytes) && file.commit();
}

bool SyncFolderOf(const QString& path) {
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return true;
#else
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
#endif
}
