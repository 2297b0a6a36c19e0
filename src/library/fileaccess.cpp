#include "library/fileaccess.h"

#include "common/apperror.h"
#include "common/paths.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fileaccess {

int ErrnoNumber(int code) {
    switch (code) {
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return Err::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
        return Err::PermissionDenied;
    case ENOENT:
    case ENOTDIR:
        return Err::PathNotFound;
    case EIO:
        return Err::DeviceIO;
    default:
        return Err::PathFileAccess;
    }
}

// Qt's file classes leave the system's own error code behind; read it right
// after the failing call, before anything else can overwrite it.
void ClearSystemError() {
    errno = 0;
#ifdef Q_OS_WIN
    SetLastError(0);
#endif
}

int LastSystemNumber() {
#ifdef Q_OS_WIN
    switch (GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return Err::DiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return Err::PermissionDenied;
    case ERROR_PATH_NOT_FOUND:
        return Err::PathNotFound;
    case 0:
        break;
    default:
        return Err::PathFileAccess;
    }
#endif
    return ErrnoNumber(errno);
}

// ---- reading ---------------------------------------------------------------

int InFile::open(const QString& path) {
    close();
#ifdef Q_OS_WIN
    fd_ = _wopen(reinterpret_cast<const wchar_t*>(path.utf16()), _O_RDONLY | _O_BINARY);
#else
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
#endif
    return fd_ < 0 ? errno : 0;
}

qint64 InFile::read(char* into, qint64 n) {
    n = std::min<qint64>(n, qint64(1) << 30);
    if (held_) {
        const qint64 got = std::clamp<qint64>(held_->size() - at_, 0, n);
        std::memcpy(into, held_->constData() + at_, size_t(got));
        at_ += got;
        return got;
    }
    for (;;) {
#ifdef Q_OS_WIN
        const qint64 got = _read(fd_, into, static_cast<unsigned>(n));
#else
        const qint64 got = ::read(fd_, into, static_cast<size_t>(n));
#endif
        if (got >= 0) return got;
        if (errno != EINTR) Raise(ErrnoNumber(errno));
    }
}

qint64 InFile::size() const {
    if (held_) return held_->size();
#ifdef Q_OS_WIN
    struct _stat64 st;
    if (_fstat64(fd_, &st) != 0) return -1;
    if (st.st_mode & _S_IFDIR) Raise(Err::PathFileAccess);
    return (st.st_mode & _S_IFREG) ? qint64(st.st_size) : -1;
#else
    struct stat st;
    if (::fstat(fd_, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) Raise(Err::PathFileAccess);
    return S_ISREG(st.st_mode) ? qint64(st.st_size) : -1;
#endif
}

void InFile::seek(qint64 position) {
    if (held_) {
        at_ = std::clamp<qint64>(position, 0, held_->size());
        return;
    }
#ifdef Q_OS_WIN
    if (_lseeki64(fd_, position, SEEK_SET) < 0) Raise(ErrnoNumber(errno));
#else
    if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) Raise(ErrnoNumber(errno));
#endif
}

#ifdef Q_OS_LINUX
namespace {

// Up to this size the copy is kept in memory: an unnamed file costs an
// inode made and freed per send, most of a small send's time.
constexpr off_t kHeldMax = 1 << 20;

}  // namespace

bool InFile::snapshot(const QString& folder) {
    struct stat before;
    if (fd_ < 0 || ::fstat(fd_, &before) != 0 || !S_ISREG(before.st_mode)) return false;
    if (before.st_size <= kHeldMax) return hold(before);
    int copy = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (copy < 0) copy = ::open(QFile::encodeName(QDir::tempPath()).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (copy < 0) return false;
    off_t from = 0, to = 0;
    bool ok = true;
    while (ok && from < before.st_size) {
        // In the kernel, and a reflink where the file system has them.
        const ssize_t n = ::copy_file_range(fd_, &from, copy, &to, size_t(before.st_size - from), 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) break;
        ok = CopyByReading(fd_, copy, from, before.st_size);
        break;
    }
    struct stat after;
    ok = ok && ::fstat(fd_, &after) == 0 && after.st_size == before.st_size &&
         after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
         ::lseek(copy, 0, SEEK_SET) == 0;
    if (!ok) {
        ::close(copy);
        ::lseek(fd_, 0, SEEK_SET);
        return false;
    }
    close();
    fd_ = copy;
    return true;
}

bool InFile::hold(const struct ::stat& before) {
    QByteArray bytes(qsizetype(before.st_size), Qt::Uninitialized);
    for (off_t from = 0; from < before.st_size;) {
        const ssize_t got = ::pread(fd_, bytes.data() + from, size_t(before.st_size - from), from);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        from += got;
    }
    struct stat after;
    if (::fstat(fd_, &after) != 0 || after.st_size != before.st_size ||
        after.st_mtim.tv_sec != before.st_mtim.tv_sec || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
        return false;
    close();
    held_ = std::move(bytes);
    at_ = 0;
    return true;
}

bool InFile::CopyByReading(int in, int out, off_t from, off_t size) {
    QByteArray buf(1 << 20, Qt::Uninitialized);
    while (from < size) {
        const ssize_t got = ::pread(in, buf.data(), size_t(std::min<off_t>(buf.size(), size - from)), from);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        for (ssize_t done = 0; done < got;) {
            const ssize_t w = ::pwrite(out, buf.constData() + done, size_t(got - done), from + done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
        from += got;
    }
    return true;
}
#endif

void InFile::close() {
    held_.reset();
    if (fd_ < 0) return;
#ifdef Q_OS_WIN
    _close(fd_);
#else
    ::close(fd_);
#endif
    fd_ = -1;
}

namespace {

bool IsMissing(int code) { return code == ENOENT || code == ENOTDIR; }

}  // namespace

bool OpenExisting(InFile& file, const QString& path) {
    if (path.isEmpty()) return false;
    int code = file.open(path);
    if (code == 0) return true;
    if (IsMissing(code)) {
        const QString other = ResolveCase(path);
        if (other == path) return false;
        code = file.open(other);
        if (code == 0) return true;
        if (IsMissing(code)) return false;
    }
    Raise(ErrnoNumber(code));
}

}  // namespace fileaccess
