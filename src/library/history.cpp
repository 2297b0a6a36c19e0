#include "library/history.h"

#include "common/apperror.h"
#include "common/convert.h"
#include "common/fileerror.h"
#include "common/home.h"
#include "common/ini.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/savefile.h"
#include "library/historystore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <zlib.h>

using history::kNameFile;
using history::kPiece;
using history::kProgramLock;
using history::Lock;
using history::Stored;
using history::UpdateStore;
using history::VersionsIn;

namespace {

const char kDateFormat[] = "yyyyMMdd-HHmmsszzz";

int ReadCount(const char* key, int def) {
    try {
        const qint32 v = ToInt32(ReadIni(QStringLiteral("Program"), QLatin1String(key), QString::number(def)));
        return v < 0 ? def : v;
    } catch (const AppError&) {
        return def;
    }
}

QString Clean(const QString& path) { return QDir::cleanPath(QDir::fromNativeSeparators(path)); }

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
