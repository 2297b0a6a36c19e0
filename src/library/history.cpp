#include "library/history.h"

#include "common/apperror.h"
#include "common/convert.h"
#include "common/fileerror.h"
#include "common/home.h"
#include "common/ini.h"
#include "common/paths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>
#include <algorithm>
#include <zlib.h>

namespace {

constexpr qint64 kPiece = 256 * 1024;
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

// The program as the store knows it: absolute, in the case it has on disk.
QString ProgramKey(const QString& programPath) {
    QString key = Clean(QFileInfo(ResolveCase(programPath)).absoluteFilePath());
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

// id, date and size are fixed fields; the origin is the rest (it may hold "_").
bool ParseVersion(const QFileInfo& file, HistoryVersion& v) {
    const QString name = file.fileName();
    if (!name.endsWith(QLatin1String(".gz"))) return false;
    const QStringList parts = name.chopped(3).split(QLatin1Char('_'));
    if (parts.size() < 4) return false;
    bool okId = false, okSize = false;
    v.id = parts[0].toInt(&okId);
    v.date = QDateTime::fromString(parts[1], QLatin1String(kDateFormat));
    v.size = parts[2].toLongLong(&okSize);
    v.origin = QUrl::fromPercentEncoding(parts.mid(3).join(QLatin1Char('_')).toLatin1());
    v.file = file.absoluteFilePath();
    return okId && okSize && v.date.isValid();
}

// Oldest first.
QList<HistoryVersion> VersionsIn(const QString& store) {
    QList<HistoryVersion> out;
    QDirIterator it(store, {QStringLiteral("*.gz")}, QDir::Files);
    while (it.hasNext()) {
        it.next();
        HistoryVersion v;
        if (ParseVersion(it.fileInfo(), v)) out.append(v);
    }
    std::sort(out.begin(), out.end(), [](const HistoryVersion& a, const HistoryVersion& b) { return a.id < b.id; });
    return out;
}

// Deflates source into a new file of the store, written under a temporary
// name and renamed when complete.
FileResult WriteVersion(QFile& source, const QString& target) {
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly)) return StoreFailure(FileError(out, target).number());
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
            if (out.write(buf.constData(), have) != have) {
                number = FileError(out, target).number();
                break;
            }
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    if (number != 0) {
        out.cancelWriting();
        return source.error() != QFileDevice::NoError ? FileResult{false, number, ErrorDescription(number)}
                                                      : StoreFailure(number);
    }
    if (!out.commit()) return StoreFailure(FileError(out, target).number());
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

void RemoveVersion(const HistoryVersion& v) { QFile::remove(v.file); }

struct StoredVersion {
    QString file;
    QDateTime date;
    qint64 bytes = 0;
};

// Past the size limit the oldest versions of the whole store go, but never
// the newest of a program: that one is what was just replaced.
void PruneStore(qint64 maxMB) {
    const qint64 limit = maxMB * 1024 * 1024;
    QList<StoredVersion> removable;
    qint64 total = 0;
    QDirIterator stores(HistoryFolder(), QDir::Dirs | QDir::NoDotAndDotDot);
    while (stores.hasNext()) {
        const QList<HistoryVersion> versions = VersionsIn(stores.next());
        for (qsizetype i = 0; i < versions.size(); ++i) {
            const qint64 bytes = QFileInfo(versions[i].file).size();
            total += bytes;
            if (i + 1 < versions.size()) removable.append({versions[i].file, versions[i].date, bytes});
        }
    }
    if (total <= limit) return;
    std::sort(removable.begin(), removable.end(),
              [](const StoredVersion& a, const StoredVersion& b) { return a.date < b.date; });
    for (const StoredVersion& v : removable) {
        if (total <= limit) break;
        if (QFile::remove(v.file)) total -= v.bytes;
    }
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
    const QString nameFile = JoinPath(store, QStringLiteral("program.txt"));
    if (!QFileInfo::exists(nameFile)) {
        QSaveFile f(nameFile);
        if (!f.open(QIODevice::WriteOnly) || f.write(ProgramKey(path).toUtf8() + '\n') < 0 || !f.commit())
            return StoreFailure(FileError(f, nameFile).number());
    }

    QList<HistoryVersion> versions = VersionsIn(store);
    const int id = versions.isEmpty() ? 1 : versions.last().id + 1;
    const QString name = QStringLiteral("%1_%2_%3_%4.gz")
                             .arg(id, 6, 10, QLatin1Char('0'))
                             .arg(QDateTime::currentDateTime().toString(QLatin1String(kDateFormat)))
                             .arg(source.size())
                             .arg(OriginField(origin));
    const FileResult written = WriteVersion(source, JoinPath(store, name));
    if (!written.ok) return written;

    if (keep >= 0)
        for (qsizetype i = 0; i + keep < versions.size() + 1; ++i) RemoveVersion(versions[i]);
    PruneStore(maxMB);
    return {};
}

}  // namespace

HistorySettings ReadHistorySettings() {
    return HistorySettings{ReadCount("HistoryKeep", kHistoryKeepDefault), ReadCount("HistoryMaxMB", kHistoryMaxMBDefault)};
}

QString HistoryFolder() { return InProgramFolder(QStringLiteral("historik")); }

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

QList<HistoryVersion> ListVersions(const QString& programPath) {
    QList<HistoryVersion> v = VersionsIn(ProgramStore(programPath));
    std::reverse(v.begin(), v.end());
    return v;
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
    const QList<HistoryVersion> versions = ListVersions(programPath);
    const auto it = std::find_if(versions.begin(), versions.end(), [id](const HistoryVersion& v) { return v.id == id; });
    if (it == versions.end())
        return FileResult{false, Err::FileNotFound, QStringLiteral("Versionen finns inte i historiken.")};
    const QString target = ResolveCase(programPath);
    // Written beside the program first: pruning while keeping the present
    // content could take the very version being restored.
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly)) return Failed(FileError(out, target));
    const FileResult read = ReadVersion(*it, out);
    if (!read.ok) {
        out.cancelWriting();
        return read;
    }
    const HistorySettings s = ReadHistorySettings();
    const FileResult kept =
        Keep(target, QStringLiteral("Före återställning av version %1").arg(id), s.keep > 0 ? s.keep : -1, s.maxMB);
    if (!kept.ok) {
        out.cancelWriting();
        return kept;
    }
    if (!out.commit()) return Failed(FileError(out, target));
    return {};
}
