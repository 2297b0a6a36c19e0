#include "library/programfile.h"
#include <QDateTime>
#include <QFileInfo>

#include "common/ansi.h"
#include "common/apperror.h"
#include "common/paths.h"
#include "common/savefile.h"
#include "common/sha256.h"

#include <QByteArrayView>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <optional>
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
#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace {

// ---- platform errors -------------------------------------------------------

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

FileResult Failure(int number) { return FileResult{false, number, ErrorDescription(number)}; }

// ---- reading ---------------------------------------------------------------

// A plain read-only descriptor: the list reads the first line of thousands of
// files, and QFile's set-up costs more than the read itself.
class InFile {
public:
    InFile() = default;
    InFile(const InFile&) = delete;
    InFile& operator=(const InFile&) = delete;
    ~InFile() { close(); }

    // Returns 0 or the errno of the failed open.
    int open(const QString& path) {
        close();
#ifdef Q_OS_WIN
        fd_ = _wopen(reinterpret_cast<const wchar_t*>(path.utf16()), _O_RDONLY | _O_BINARY);
#else
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
#endif
        return fd_ < 0 ? errno : 0;
    }

    // Reads up to n bytes; 0 at the end. Raises on a read error.
    qint64 read(char* into, qint64 n) {
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

    // The size, or -1 when the descriptor is not a regular file. A folder
    // raises: it exists but holds no program.
    qint64 size() const {
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

    // Moves to an absolute position. Raises on failure.
    void seek(qint64 position) {
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
    // Replaces what is open by an unnamed copy of it, in its own folder when
    // that file system allows one, else in the temporary folder: a file that
    // is rewritten afterwards no longer changes what is read. False (the
    // original still open) when no copy could be made, or when the file
    // changed while it was copied.
    bool snapshot(const QString& folder) {
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
#endif

private:
#ifdef Q_OS_LINUX
    // Up to this size the copy is kept in memory: an unnamed file costs an
    // inode made and freed per send, most of a small send's time.
    static constexpr off_t kHeldMax = 1 << 20;

    bool hold(const struct stat& before) {
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

    static bool CopyByReading(int in, int out, off_t from, off_t size) {
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
    void close() {
        held_.reset();
        if (fd_ < 0) return;
#ifdef Q_OS_WIN
        _close(fd_);
#else
        ::close(fd_);
#endif
        fd_ = -1;
    }

    int fd_ = -1;
    std::optional<QByteArray> held_;  // the snapshot, when kept in memory
    qint64 at_ = 0;
};

bool IsMissing(int code) { return code == ENOENT || code == ENOTDIR; }

// Opens path, or the file that matches it without regard to case. False when
// there is no such file; raises when there is one that cannot be opened.
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

// Big buffers are filled once and handed on; large pages make their first
// touch far cheaper than one fault per 4 KB page.
void PreferLargePages([[maybe_unused]] QByteArray& data) {
#ifdef Q_OS_LINUX
    constexpr uintptr_t kLarge = uintptr_t(2) << 20;
    if (data.size() < qsizetype(8 * kLarge)) return;
    const auto start = reinterpret_cast<uintptr_t>(data.data());
    const uintptr_t begin = (start + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t end = (start + static_cast<uintptr_t>(data.size())) & ~(kLarge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool AllBlank(const char* from, const char* to) {
    for (; from < to; ++from)
        if (!IsBlank(*from)) return false;
    return true;
}

// True when nothing but blanks is left to read.
bool RestIsBlank(InFile& file) {
    char buf[4096];
    for (;;) {
        const qint64 got = file.read(buf, sizeof buf);
        if (got == 0) return true;
        if (!AllBlank(buf, buf + got)) return false;
    }
}

// The first line of the file: up to its first CR (a lone LF does not end it),
// and the position of its start "%" (-1 when it has none). A "%" with only
// blanks after it to the end of the file is the end marker, as for
// ReadProgramFile: the line then ends before it and has no start "%".
// False when the file does not exist.
bool FirstLine(const QString& path, QByteArray& line, qsizetype& start) {
    InFile file;
    if (!OpenExisting(file, path)) return false;
    // Most first lines are short: one small read answers nearly every file.
    char head[512];
    qint64 got = file.read(head, sizeof head);
    bool restBlank;  // of the bytes read past the line
    if (const void* cr = std::memchr(head, '\r', static_cast<size_t>(got))) {
        line = QByteArray(head, static_cast<const char*>(cr) - head);
        restBlank = AllBlank(static_cast<const char*>(cr), head + got);
    } else {
        line = QByteArray(head, got);
        restBlank = true;
        qsizetype chunk = 4096;
        while (got > 0) {
            const qsizetype used = line.size();
            line.resize(used + chunk);
            got = file.read(line.data() + used, chunk);
            line.resize(used + got);
            if (const void* cr = std::memchr(line.constData() + used, '\r', static_cast<size_t>(got))) {
                const char* at = static_cast<const char*>(cr);
                restBlank = AllBlank(at, line.constData() + line.size());
                line.truncate(at - line.constData());
                break;
            }
            if (chunk < (1 << 20)) chunk *= 2;
        }
    }
    start = line.indexOf('%');
    if (start >= 0 && restBlank && AllBlank(line.constData() + start + 1, line.constData() + line.size()) &&
        RestIsBlank(file)) {
        line.truncate(start);
        start = -1;
    }
    return true;
}

QByteArray WithoutParens(QByteArrayView text) {
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text)
        if (c != '(' && c != ')') out.append(c);
    return out;
}

// The bytes of the file comment; empty when the line has no start "%".
QByteArray FileCommentBytes(QByteArrayView line, qsizetype start) {
    return start < 0 ? QByteArray() : WithoutParens(line.first(start));
}

QByteArray ProgramCommentBytes(QByteArrayView line, qsizetype start) {
    const QByteArrayView rest = start < 0 ? line : line.sliced(start + 1);
    const qsizetype tilde = rest.indexOf('~');
    if (tilde >= 0) {
        const QByteArrayView after = rest.sliced(tilde + 1);
        return after.first(std::min<qsizetype>(18, after.size())).toByteArray();
    }
    const qsizetype open = rest.indexOf('(');
    const qsizetype close = rest.indexOf(')');
    if (open >= 0 && close > open) return rest.sliced(open + 1, close - open - 1).toByteArray();
    return {};
}

// ---- writing ---------------------------------------------------------------

// Collects output into large pieces for the save file and keeps the first
// failure with its platform error. While the output still equals the file it
// replaces, that file is read alongside: an identical store then needs
// neither a kept version nor a rewrite, and a different one usually shows
// in its first piece.
class Output {
public:
    explicit Output(QSaveFile& file) : file_(file) { buffer_.reserve(kSize); }

    void compareWith(const QString& path) {
        old_.setFileName(path);
        if (!old_.open(QIODevice::ReadOnly)) old_.setFileName(QString());
    }
    // Everything written so far equals the old file, and nothing of it is left.
    bool sameAsOld() { return old_.isOpen() && old_.atEnd(); }
    // Windows cannot replace a file that is still open.
    void stopComparing() { old_.close(); }

    void put(const char* data, qsizetype n) {
        if (number_) return;
        if (buffer_.size() + n > kSize) flush();
        if (n >= kSize) {
            write(data, n);
            return;
        }
        buffer_.append(data, n);
    }

    void flush() {
        if (!buffer_.isEmpty()) write(buffer_.constData(), buffer_.size());
        buffer_.resize(0);
    }

    int number() const { return number_; }

private:
    static constexpr qsizetype kSize = 1 << 20;

    void write(const char* data, qsizetype n) {
        if (number_) return;
        compare(data, n);
        ClearSystemError();
        if (file_.write(data, n) != n) number_ = LastSystemNumber();
    }

    void compare(const char* data, qsizetype n) {
        if (!old_.isOpen()) return;
        oldPiece_.resize(n);
        if (old_.read(oldPiece_.data(), n) != n || std::memcmp(oldPiece_.constData(), data, size_t(n)) != 0) {
            old_.close();
            oldPiece_ = QByteArray();
        }
    }

    QSaveFile& file_;
    QByteArray buffer_;
    int number_ = 0;
    QFile old_;
    QByteArray oldPiece_;
};

}  // namespace

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

QString FileResult::message() const {
    return QStringLiteral("Filfel (") + QString::number(number) + QStringLiteral("): ") + description;
}

struct ProgramFileWriter::Impl {
    explicit Impl(const QString& target) : file(target), out(file) {}
    QSaveFile file;
    Output out;
    QByteArray note;
    bool lastWasCr = false;
    bool finished = false;
};

ProgramFileWriter::ProgramFileWriter() = default;
ProgramFileWriter::~ProgramFileWriter() { cancel(); }

FileResult ProgramFileWriter::open(const QString& path, const QString& comment) {
    cancel();
    if (path.isEmpty()) return Failure(Err::BadFileName);
    const QString target = ResolveCase(path);
    const QFileInfo info(target);
    if (info.isDir()) return Failure(Err::PathFileAccess);
    // The save would write where the link leads, outside the library.
    if (info.isSymLink()) return Failure(Err::PermissionDenied);
    if (!QFileInfo(info.absolutePath()).isDir()) return Failure(Err::PathNotFound);
    // Replacing by rename would get past a write-protected file; writing in
    // place would not.
    if (info.exists() && !info.isWritable()) return Failure(Err::PermissionDenied);

    QByteArray note = ToAnsi(comment);
    // A "%" in the comment would end it early and put its tail into the
    // program text when the file is read back.
    note.removeIf([](char c) { return c == '%'; });
    if (comment.isEmpty()) {
        try {
            QByteArray line;
            qsizetype start;
            if (FirstLine(target, line, start)) note = FileCommentBytes(line, start);
        } catch (const AppError& e) {
            return Failure(e.number());
        }
    }

    auto d = std::make_unique<Impl>(target);
    hash_ = std::make_unique<Sha256>();
    textBytes_ = 0;
    ClearSystemError();
    // Unbuffered (Output gathers pieces itself): a full disk shows at the
    // write, never only at commit(), where Qt 6.4 would put a cut file in place.
    if (!d->file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return Failure(LastSystemNumber());
    if (info.isFile()) d->out.compareWith(target);
    d->note = note;
    if (!note.isEmpty()) {
        d->out.put("(", 1);
        d->out.put(note.constData(), note.size());
        d->out.put(")%", 2);
    }
    d_ = std::move(d);
    return {};
}

// Every line end becomes CR LF: a CR is put before each LF that has none,
// also when the CR ended the previous piece.
bool ProgramFileWriter::write(const char* data, qsizetype n) {
    if (!d_ || d_->finished) return false;
    if (n <= 0) return d_->out.number() == 0;
    const char* const end = data + n;
    const char* from = data;
    const char* scan = data;
    const auto put = [this](const char* bytes, qsizetype count) {
        d_->out.put(bytes, count);
        hash_->add(QByteArrayView(bytes, count));
        textBytes_ += count;
    };
    while (scan < end) {
        const auto* lf = static_cast<const char*>(std::memchr(scan, '\n', static_cast<size_t>(end - scan)));
        if (!lf) break;
        const bool crBefore = lf == data ? d_->lastWasCr : lf[-1] == '\r';
        if (!crBefore) {
            put(from, lf - from);
            put("\r", 1);
            from = lf;
        }
        scan = lf + 1;
    }
    put(from, end - from);
    d_->lastWasCr = end[-1] == '\r';
    return d_->out.number() == 0;
}

FileResult ProgramFileWriter::error() const {
    return d_ && d_->out.number() ? Failure(d_->out.number()) : FileResult{};
}

FileResult ProgramFileWriter::finish() {
    if (!d_) return Failure(Err::BadFileName);
    if (!d_->finished && !d_->note.isEmpty()) d_->out.put("%", 1);
    d_->finished = true;
    d_->out.flush();
    return error();
}

bool ProgramFileWriter::sameAsTarget() const {
    return d_ && d_->finished && d_->out.number() == 0 && d_->out.sameAsOld();
}

FileResult ProgramFileWriter::commit() {
    if (!d_) return Failure(Err::BadFileName);
    finish();
    const std::unique_ptr<Impl> d = std::move(d_);
    if (d->out.number()) {
        const int number = d->out.number();
        d->file.cancelWriting();
        return Failure(number);
    }
    const bool same = d->out.sameAsOld();
    d->out.stopComparing();
    // The very same bytes: the file stays as it is, date and all.
    if (same) {
        d->file.cancelWriting();
        return {};
    }
    ClearSystemError();
    if (!d->file.commit()) return Failure(LastSystemNumber());
    // The new name on disk before the machine is told "00" or the web 201.
    if (!SyncFolderOf(d->file.fileName())) return Failure(Err::DeviceIO);
    return {};
}

void ProgramFileWriter::cancel() {
    if (!d_) return;
    d_->file.cancelWriting();
    d_.reset();
}

QString ProgramFileWriter::target() const { return d_ ? d_->file.fileName() : QString(); }

QByteArray ProgramFileWriter::sha256Hex() const { return hash_ ? hash_->hex() : QByteArray(); }

FileResult WriteProgramFile(const QByteArray& text, const QString& path, const QString& comment) {
    ProgramFileWriter writer;
    if (FileResult r = writer.open(path, comment); !r.ok) return r;
    writer.write(text.constData(), text.size());
    return writer.commit();
}

Comments ReadComments(const QString& path) {
    QByteArray line;
    qsizetype start;
    if (!FirstLine(path, line, start)) return {};
    return Comments{FromAnsi(FileCommentBytes(line, start)), FromAnsi(ProgramCommentBytes(line, start))};
}

QString FileComment(const QString& path) {
    QByteArray line;
    qsizetype start;
    return FirstLine(path, line, start) ? FromAnsi(FileCommentBytes(line, start)) : QString();
}

QString ProgramComment(const QString& path) {
    QByteArray line;
    qsizetype start;
    return FirstLine(path, line, start) ? FromAnsi(ProgramCommentBytes(line, start)) : QString();
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

// ---- program text in pieces ------------------------------------------------

struct ProgramTextReader::Impl {
    enum class Mode { All, Prefix, AfterStart };
    InFile file;
    Mode mode = Mode::All;
    qint64 remaining = 0;  // Prefix: bytes before the end marker still to read
    qint64 size = -1;      // of the file when opened; -1 when not a regular file
    QString path;
    QDateTime modified;    // when opened
};

ProgramTextReader::ProgramTextReader() : d(std::make_unique<Impl>()) {}
ProgramTextReader::~ProgramTextReader() = default;
qint64 ProgramTextReader::fileSize() const { return d->size; }

bool ProgramTextReader::open(const QString& path, bool snapshot) {
    d = std::make_unique<Impl>();
    if (!OpenExisting(d->file, path)) return false;
    d->size = d->file.size();  // a folder raises here
    d->path = path;
#ifdef Q_OS_LINUX
    // A copy that is whole as of now; the file is read from it, so that a
    // change to the file can no longer cut what goes out. Without one the
    // change is noticed and the reading stops.
    if (snapshot && d->size >= 0) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (d->file.snapshot(QFileInfo(path).absolutePath())) {
                d->size = d->file.size();
                d->path.clear();
                break;
            }
            if (!OpenExisting(d->file, path)) return false;
            d->size = d->file.size();
        }
    }
#else
    Q_UNUSED(snapshot);
#endif
    // Only a file read in place is looked at again (a time in local time
    // costs a look at the time zone file); nothing has been read from it yet.
    if (!d->path.isEmpty()) d->modified = QFileInfo(path).lastModified();
    // Where the text starts: after a first "%" that something other than
    // blanks follows; a first "%" with only blanks after it ends the text.
    // Nearly every file answers this from its first piece.
    constexpr qint64 kScan = 64 * 1024;
    QByteArray buf(kScan, Qt::Uninitialized);
    qint64 position = 0;
    qint64 first = -1;
    bool started = false;
    for (;;) {
        const qint64 got = d->file.read(buf.data(), kScan);
        if (got == 0) break;
        const char* from = buf.constData();
        const char* const stop = from + got;
        if (first < 0) {
            const auto* mark = static_cast<const char*>(std::memchr(from, '%', static_cast<size_t>(got)));
            if (!mark) {
                position += got;
                continue;
            }
            first = position + (mark - buf.constData());
            from = mark + 1;
        }
        while (from < stop && IsBlank(*from)) ++from;
        if (from < stop) {
            started = true;
            break;
        }
        position += got;
    }
    if (first < 0) {
        d->mode = Impl::Mode::All;
        d->file.seek(0);
    } else if (!started) {
        d->mode = Impl::Mode::Prefix;
        d->remaining = first;
        d->file.seek(0);
    } else {
        d->mode = Impl::Mode::AfterStart;
        d->file.seek(first + 1);
    }
    return true;
}

qsizetype ProgramTextReader::read(char* into, qsizetype max) {
    if (max <= 0) return 0;
    if (d->mode == Impl::Mode::Prefix) {
        if (d->remaining <= 0) return 0;
        const qint64 got = d->file.read(into, std::min<qint64>(max, d->remaining));
        d->remaining = got == 0 ? 0 : d->remaining - got;
        return static_cast<qsizetype>(got);
    }
    for (;;) {
        const qint64 got = d->file.read(into, max);
        if (got == 0 || d->mode == Impl::Mode::All) return static_cast<qsizetype>(got);
        // Every later "%" is squeezed out; a piece of nothing but "%" reads on.
        char* const end = std::remove(into, into + got, '%');
        if (end != into) return end - into;
    }
}

QString ProgramTextReader::changedName() const {
    if (d->path.isEmpty() || d->size < 0) return {};
    QFileInfo now(d->path);
    if (now.exists() && now.size() == d->size && now.lastModified() == d->modified) return {};
    return now.fileName();
}

QByteArray ProgramTextReader::readAll() {
    // One buffer of the file's size, filled once and handed on.
    QByteArray data(d->size > 0 ? d->size : 64 * 1024, Qt::Uninitialized);
    PreferLargePages(data);
    qsizetype kept = 0;
    for (;;) {
        // Full at the size the file had when opened: usually its end, but a
        // file that grew meanwhile is read to its real end.
        if (kept == data.size()) data.resize(kept + std::max<qsizetype>(kept / 2, 64 * 1024));
        const qsizetype got = read(data.data() + kept, std::min<qsizetype>(data.size() - kept, 1 << 20));
        if (got == 0) break;
        kept += got;
    }
    data.truncate(kept);
    return data;
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
