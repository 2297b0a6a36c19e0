#include "library/history.h"

#include "common/apperror.h"
#include "common/convert.h"
#include "common/fileerror.h"
#include "common/home.h"
#include "common/ini.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/savefile.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <optional>
#include <zlib.h>
#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

constexpr qint64 kPiece = 256 * 1024;
const char kDateFormat[] = "yyyyMMdd-HHmmsszzz";
// Another process may hold a lock while it compresses a large program.
constexpr int kLockWaitMs = 120000;
const char kNameFile[] = "program.txt";
const char kProgramLock[] = "lock";
const char kIndex[] = "index";
const char kIndexLock[] = "index.lock";
// What pruning may take, oldest first, as the last count found it.
const char kQueue[] = "queue";

int ReadCount(const char* key, int def) {
    try {
        const qint32 v = ToInt32(ReadIni(QStringLiteral("Program"), QLatin1String(key), QString::number(def)));
        return v < 0 ? def : v;
    } catch (const AppError&) {
        return def;
    }
}

QString Clean(const QString& path) { return QDir::cleanPath(QDir::fromNativeSeparators(path)); }

QString InStore(const char* name) { return JoinPath(HistoryFolder(), QLatin1String(name)); }

// The program as the store knows it: its canonical path, so that a folder
// reached through a symbolic link shares the history of the folder itself.
QString ProgramKey(const QString& programPath) {
    const QFileInfo info(ResolveCase(programPath));
    QString key = info.canonicalFilePath();
    if (key.isEmpty()) {
        // A program that is gone (deleted, then asked for): its folder's.
        const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
        key = folder.isEmpty() ? info.absoluteFilePath() : JoinPath(folder, info.fileName());
    }
    key = Clean(key);
#ifdef Q_OS_WIN
    key = key.toCaseFolded();
#endif
    return key;
}

QString ProgramStore(const QString& programPath) {
    const QByteArray hash =
        QCryptographicHash::hash(ProgramKey(programPath).toUtf8(), QCryptographicHash::Sha1).toHex().left(20);
    return JoinPath(HistoryFolder(), QString::fromLatin1(hash));
}

FileResult StoreFailure(int number) {
    return FileResult{false, number,
                      QStringLiteral("Den tidigare versionen kunde inte sparas i historiken: ") +
                          ErrorDescription(number)};
}

FileResult Failed(const AppError& e) { return FileResult{false, e.number(), e.description()}; }

// A lock shared with other processes. The system lets it go with its
// process, so a crash leaves none behind to wait for.
class Lock {
public:
    explicit Lock(const QString& path) {
#ifdef Q_OS_UNIX
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) return;
        const QDeadlineTimer deadline(kLockWaitMs);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) return;
            QThread::msleep(2);
        }
        locked_ = true;
#else
        file_.emplace(path);
        file_->setStaleLockTime(0);  // taken over only when its process is gone
        locked_ = file_->tryLock(kLockWaitMs);
#endif
    }
    ~Lock() {
#ifdef Q_OS_UNIX
        if (fd_ >= 0) ::close(fd_);
#endif
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool locked() const { return locked_; }

private:
#ifdef Q_OS_UNIX
    int fd_ = -1;
#else
    std::optional<QLockFile> file_;
#endif
    bool locked_ = false;
};

struct Stored {
    HistoryVersion v;
    qint64 bytes = 0;  // of the compressed file
};

// Oldest first. Files that are no version (nor the name file or a lock) land
// in *leftovers.
QList<Stored> VersionsIn(const QString& store, QStringList* leftovers = nullptr) {
    QList<Stored> out;
    QDirIterator it(store, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        Stored s;
        if (ParseVersionName(info.fileName(), &s.v)) {
            s.v.file = info.absoluteFilePath();
            s.bytes = info.size();
            out.append(s);
        } else if (leftovers && info.fileName() != QLatin1String(kNameFile) &&
                   !info.fileName().startsWith(QLatin1String(kProgramLock))) {
            *leftovers << info.absoluteFilePath();
        }
    }
    std::sort(out.begin(), out.end(), [](const Stored& a, const Stored& b) {
        return a.v.id != b.v.id ? a.v.id < b.v.id : a.v.date < b.v.date;
    });
    return out;
}

// Deflates source into a new file of the store, written under a temporary
// name and renamed when complete.
FileResult WriteVersion(QFile& source, const QString& target) {
    SafeFile out(target);
    if (!out.open()) return StoreFailure(out.failure().number());
    z_stream z{};
    // 15 + 16: a gzip wrapper, so that any gzip tool can read a version. The
    // fastest level: a version is kept while a machine waits for its answer,
    // and on NC text it still shrinks about three times (the best level buys
    // a fifth more at twelve times the time).
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return StoreFailure(Err::DeviceIO);
    QByteArray in(kPiece, Qt::Uninitialized), buf(kPiece, Qt::Uninitialized);
    int number = 0;
    for (bool end = false; !end && number == 0;) {
        const qint64 n = source.read(in.data(), kPiece);
        if (n < 0) {
            number = FileError(source, source.fileName()).number();
            break;
        }
        end = n == 0;
        z.next_in = reinterpret_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = reinterpret_cast<Bytef*>(buf.data());
            z.avail_out = static_cast<uInt>(kPiece);
            deflate(&z, end ? Z_FINISH : Z_NO_FLUSH);
            const qint64 have = kPiece - z.avail_out;
            if (!out.write(buf.constData(), have)) {
                number = out.failure().number();
                break;
            }
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    if (number != 0) {
        out.cancel();
        return source.error() != QFileDevice::NoError ? FileResult{false, number, ErrorDescription(number)}
                                                      : StoreFailure(number);
    }
    if (!out.commit()) return StoreFailure(out.failure().number());
    return {};
}

// As much of the origin as a file name has room for.
QString OriginField(const QString& origin) {
    QByteArray field;
    for (qsizetype i = 0; i < origin.size(); ++i) {
        const qsizetype width = origin[i].isHighSurrogate() ? 2 : 1;
        const QByteArray part = QUrl::toPercentEncoding(origin.mid(i, width));
        if (field.size() + part.size() > 120) break;
        field += part;
        i += width - 1;
    }
    return QString::fromLatin1(field);
}

// ---- the store's totals ------------------------------------------------------

struct Totals {
    qint64 bytes = 0;    // every version
    qint64 newest = 0;   // each program's newest version: what pruning never takes
    bool over = false;   // told that the limit cannot be met
    qint64 queued = 0;   // how far the queue has been taken
};

bool ReadTotals(Totals& t) {
    QFile f(InStore(kIndex));
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QList<QByteArray> v = f.readLine(256).trimmed().split(' ');
    if (v.size() != 5 || v[0] != "1") return false;
    bool ok[4] = {};
    t.bytes = v[1].toLongLong(&ok[0]);
    t.newest = v[2].toLongLong(&ok[1]);
    t.over = v[3].toInt(&ok[2]) != 0;
    t.queued = v[4].toLongLong(&ok[3]);
    return ok[0] && ok[1] && ok[2] && ok[3] && t.newest >= 0 && t.newest <= t.bytes && t.queued >= 0;
}

// Written in place: a torn index does not read and is counted again.
void WriteTotals(const Totals& t) {
    QFile f(InStore(kIndex));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(QStringLiteral("1 %1 %2 %3 %4\n").arg(t.bytes).arg(t.newest).arg(t.over ? 1 : 0).arg(t.queued).toLatin1());
}

// Counts the whole store again and lines up what pruning may take.
Totals Recount() {
    struct Removable {
        QDateTime date;
        int id;
        qint64 bytes;
        QString file;
    };
    Totals t;
    QList<Removable> removable;
    QDirIterator stores(HistoryFolder(), QDir::Dirs | QDir::NoDotAndDotDot);
    while (stores.hasNext()) {
        const QString store = stores.next();
        const QString folder = QFileInfo(store).fileName();
        const QList<Stored> versions = VersionsIn(store);
        for (qsizetype i = 0; i < versions.size(); ++i) {
            const Stored& s = versions[i];
            t.bytes += s.bytes;
            if (i + 1 < versions.size())
                removable.append({s.v.date, s.v.id, s.bytes, folder + QLatin1Char('/') + QFileInfo(s.v.file).fileName()});
            else
                t.newest += s.bytes;
        }
    }
    std::sort(removable.begin(), removable.end(), [](const Removable& a, const Removable& b) {
        return a.date != b.date ? a.date < b.date : a.id < b.id;
    });
    QFile queue(InStore(kQueue));
    if (queue.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QByteArray text;
        for (const Removable& r : removable) {
            text += QByteArray::number(r.bytes) + '\t' + r.file.toUtf8() + '\n';
            if (text.size() > kPiece) queue.write(std::exchange(text, QByteArray()));
        }
        queue.write(text);
    }
    return t;
}

// A version with a later one beside it: never the newest of its program.
bool HasLaterVersion(const QString& file) {
    HistoryVersion v;
    if (!ParseVersionName(QFileInfo(file).fileName(), &v)) return false;
    for (const QString& name : QDir(QFileInfo(file).absolutePath()).entryList({QStringLiteral("*.gz")}, QDir::Files)) {
        HistoryVersion other;
        if (ParseVersionName(name, &other) && other.id > v.id) return true;
    }
    return false;
}

// Takes queued versions, oldest first, until the store is within limit.
// Versions kept since the queue was made are newer than all in it, and a
// version once older than its program's newest stays so: the queue holds.
void TakeQueued(Totals& t, qint64 limit) {
    QFile queue(InStore(kQueue));
    if (!queue.open(QIODevice::ReadOnly) || !queue.seek(t.queued)) return;
    while (t.bytes > limit) {
        const QByteArray line = queue.readLine(4096);
        if (line.isEmpty()) break;
        t.queued = queue.pos();
        const qsizetype tab = line.indexOf('\t');
        bool ok = false;
        const qint64 bytes = line.left(tab).toLongLong(&ok);
        if (tab < 0 || !ok) continue;
        const QString file = JoinPath(HistoryFolder(), QString::fromUtf8(line.mid(tab + 1).trimmed()));
        // One that is gone was counted off when it went.
        if (HasLaterVersion(file) && QFile::remove(file)) t.bytes -= bytes;
    }
}

// Past the limit the oldest versions of the whole store go, never a program's
// newest, and no more than the limit needs. When the newest alone are over
// it, nothing goes: stripping every program to one version would not meet it.
void Prune(Totals& t, qint64 maxMB) {
    const qint64 limit = maxMB * 1024 * 1024;
    if (t.bytes > limit && t.newest <= limit) {
        TakeQueued(t, limit);
        if (t.bytes > limit) {
            // Versions that became older than their program's newest since the count.
            t = Recount();
            if (t.newest <= limit) TakeQueued(t, limit);
        }
    }
    const bool over = t.bytes > limit;
    if (over && !t.over) AddLog(QStringLiteral("Historiken är större än HistoryMaxMB (%1 MB).").arg(maxMB));
    t.over = over;
}

// Brings the totals up to date after a keep: added bytes of the new version,
// which replaces a newest one of replacedNewest bytes; removed bytes of the
// versions the program's own count let go.
void UpdateStore(qint64 added, qint64 replacedNewest, qint64 removed, qint64 maxMB) {
    const Lock lock(InStore(kIndexLock));
    if (!lock.locked()) {
        // Totals nobody may trust are counted again by the next keep.
        QFile::remove(InStore(kIndex));
        return;
    }
    Totals t;
    if (ReadTotals(t)) {
        t.bytes = std::max<qint64>(0, t.bytes + added - removed);
        t.newest = std::clamp<qint64>(t.newest + added - replacedNewest, 0, t.bytes);
    } else {
        const bool over = t.over;
        t = Recount();
        t.over = over;
    }
    Prune(t, maxMB);
    WriteTotals(t);
}

// keep < 0: no per-program limit (a restore with history turned off still
// keeps what it replaces).
FileResult Keep(const QString& programPath, const QString& origin, int keep, qint64 maxMB) {
    const QString path = ResolveCase(programPath);
    QFile source(path);
    if (!QFileInfo(path).isFile()) return {};
    if (!source.open(QIODevice::ReadOnly)) return Failed(FileError(source, path));

    const QString store = ProgramStore(path);
    if (!QDir().mkpath(store)) return StoreFailure(QFileInfo::exists(store) ? Err::PathFileAccess : Err::PathNotFound);
    // Held until the new version has its id on disk: ids stay unique when
    // the window and a serving process keep the same program.
    const Lock lock(JoinPath(store, QLatin1String(kProgramLock)));
    if (!lock.locked()) return StoreFailure(Err::PathFileAccess);
    const QString nameFile = JoinPath(store, QLatin1String(kNameFile));
    if (!QFileInfo::exists(nameFile)) {
        SafeFile f(nameFile);
        if (!f.open() || !f.write(ProgramKey(path).toUtf8() + '\n') || !f.commit())
            return StoreFailure(f.failure().number());
    }

    QStringList leftovers;
    const QList<Stored> versions = VersionsIn(store, &leftovers);
    // Nothing but a keep under this lock writes here: the rest was left by a crash.
    for (const QString& f : leftovers) QFile::remove(f);
    const int id = versions.isEmpty() ? 1 : versions.last().v.id + 1;
    const QString target =
        JoinPath(store, VersionFileName(id, QDateTime::currentDateTime(), source.size(), origin));
    const FileResult written = WriteVersion(source, target);
    if (!written.ok) return written;

    qint64 removed = 0;
    if (keep >= 0)
        for (qsizetype i = 0; i + keep < versions.size() + 1; ++i)
            if (QFile::remove(versions[i].v.file)) removed += versions[i].bytes;
    UpdateStore(QFileInfo(target).size(), versions.isEmpty() ? 0 : versions.last().bytes, removed, maxMB);
    return {};
}

// Takes what is written and compares it with a file, stopping the writer at
// the first difference.
class Comparison : public QIODevice {
public:
    explicit Comparison(const QString& path) : file_(path) {
        equal_ = file_.open(QIODevice::ReadOnly);
        open(QIODevice::WriteOnly);
    }
    bool same() { return equal_ && file_.atEnd(); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 n) override {
        piece_.resize(n);
        equal_ = equal_ && file_.read(piece_.data(), n) == n && std::memcmp(piece_.constData(), data, size_t(n)) == 0;
        return equal_ ? n : -1;
    }

private:
    QFile file_;
    QByteArray piece_;
    bool equal_ = false;
};

bool SameContent(const HistoryVersion& version, const QString& path) {
    const QFileInfo info(path);
    if (!info.isFile() || info.size() != version.size) return false;
    Comparison c(path);
    return ReadVersion(version, c).ok && c.same();
}

bool Digits(QStringView s) {
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

}  // namespace

HistorySettings ReadHistorySettings() {
    return HistorySettings{ReadCount("HistoryKeep", kHistoryKeepDefault), ReadCount("HistoryMaxMB", kHistoryMaxMBDefault)};
}

QString HistoryFolder() { return InProgramFolder(QLatin1String(kHistoryFolderName)); }

bool IsHistoryFolder(const QString& path) {
    return Clean(QFileInfo(path).absoluteFilePath())
               .compare(Clean(QFileInfo(HistoryFolder()).absoluteFilePath()), Qt::CaseInsensitive) == 0;
}

FileResult KeepVersion(const QString& programPath, const QString& origin) {
    // Off must cost no more than one settings look-up.
    const int keep = ReadCount("HistoryKeep", kHistoryKeepDefault);
    if (keep == 0) return {};
    return Keep(programPath, origin, keep, ReadCount("HistoryMaxMB", kHistoryMaxMBDefault));
}

FileResult KeepVersion(const ProgramFileWriter& replacement, const QString& origin) {
    if (replacement.sameAsTarget()) return {};
    return KeepVersion(replacement.target(), origin);
}

QList<HistoryVersion> ListVersions(const QString& programPath) {
    QList<HistoryVersion> v;
    for (const Stored& s : VersionsIn(ProgramStore(programPath))) v.prepend(s.v);
    return v;
}

QString VersionFileName(int id, const QDateTime& date, qint64 size, const QString& origin) {
    return QStringLiteral("%1_%2_%3_%4.gz")
        .arg(id, 6, 10, QLatin1Char('0'))
        .arg(date.toString(QLatin1String(kDateFormat)))
        .arg(size)
        .arg(OriginField(origin));
}

// id, date and size are fixed fields; the origin is the rest (it may hold "_").
bool ParseVersionName(const QString& fileName, HistoryVersion* v) {
    if (!fileName.endsWith(QLatin1String(".gz"))) return false;
    const QStringList parts = fileName.chopped(3).split(QLatin1Char('_'));
    if (parts.size() < 4 || !Digits(parts[0]) || !Digits(parts[2]) || parts[0].size() > 9 || parts[2].size() > 18)
        return false;
    v->id = parts[0].toInt();
    v->date = QDateTime::fromString(parts[1], QLatin1String(kDateFormat));
    v->size = parts[2].toLongLong();
    v->origin = QUrl::fromPercentEncoding(parts.mid(3).join(QLatin1Char('_')).toLatin1());
    return v->id > 0 && v->date.isValid();
}

FileResult ReadVersion(const HistoryVersion& version, QIODevice& out) {
    QFile in(version.file);
    if (!in.open(QIODevice::ReadOnly)) return Failed(FileError(in, version.file));
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return FileResult{false, Err::DeviceIO, ErrorDescription(Err::DeviceIO)};
    QByteArray piece(kPiece, Qt::Uninitialized), buf(kPiece, Qt::Uninitialized);
    int rc = Z_OK;
    bool writeFailed = false, damaged = false;
    while (rc != Z_STREAM_END && !writeFailed && !damaged) {
        const qint64 n = in.read(piece.data(), kPiece);
        if (n <= 0) break;
        z.next_in = reinterpret_cast<Bytef*>(piece.data());
        z.avail_in = static_cast<uInt>(n);
        // Until zlib leaves room in the output: it may hold more than one piece.
        do {
            z.next_out = reinterpret_cast<Bytef*>(buf.data());
            z.avail_out = static_cast<uInt>(kPiece);
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) {
                damaged = true;
                break;
            }
            const qint64 have = kPiece - z.avail_out;
            if (out.write(buf.constData(), have) != have) {
                writeFailed = true;
                break;
            }
        } while (z.avail_out == 0 && rc != Z_STREAM_END);
    }
    inflateEnd(&z);
    if (writeFailed) {
        auto* file = qobject_cast<QFileDevice*>(&out);
        const int number = file ? FileError(*file, file->fileName()).number() : Err::DeviceIO;
        return FileResult{false, number, ErrorDescription(number)};
    }
    if (rc != Z_STREAM_END)
        return FileResult{false, Err::DeviceIO, QStringLiteral("Versionen i historiken är skadad.")};
    return {};
}

FileResult RestoreVersion(const QString& programPath, int id) {
    QList<HistoryVersion> matching = ListVersions(programPath);
    matching.removeIf([id](const HistoryVersion& v) { return v.id != id; });
    if (matching.isEmpty())
        return FileResult{false, Err::FileNotFound, QStringLiteral("Versionen finns inte i historiken.")};
    // Left by a program that gave two versions one id: neither is surely the one meant.
    if (matching.size() > 1)
        return FileResult{false, Err::FileNotFound,
                          QStringLiteral("Version %1 finns flera gånger i historiken; ingen återställdes.").arg(id)};
    const HistoryVersion& version = matching.first();
    const QString target = ResolveCase(programPath);
    if (SameContent(version, target)) return {};
    // Written beside the program first: pruning while keeping the present
    // content could take the very version being restored.
    SafeFile out(target);
    if (!out.open()) return Failed(out.failure());
    const FileResult read = ReadVersion(version, out.device());
    if (!read.ok) {
        out.cancel();
        return read;
    }
    const HistorySettings s = ReadHistorySettings();
    const FileResult kept =
        Keep(target, QStringLiteral("Före återställning av version %1").arg(id), s.keep > 0 ? s.keep : -1, s.maxMB);
    if (!kept.ok) {
        out.cancel();
        return kept;
    }
    if (!out.commit()) return Failed(out.failure());
    return {};
}
