// history and restore: the kept versions of a library program.
#include "app/verb_session.h"
#include "common/apperror.h"
#include "common/sha256.h"
#include "library/history.h"
#include "library/programfile.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>

namespace {
// The SHA-256 of a program file's text as a send would hash it (what follows
// the first "%", comment left out), so that a journal row can be matched to
// a version. Empty when the file cannot be read.
QByteArray TextSha256(const QString& path) {
    try {
        ProgramTextReader reader;
        if (!reader.open(path)) return {};
        Sha256 hash;
        QByteArray piece(256 * 1024, Qt::Uninitialized);
        for (qsizetype n; (n = reader.read(piece.data(), piece.size())) > 0;) hash.add(QByteArrayView(piece.constData(), n));
        return hash.hex();
    } catch (const AppError&) {
        return {};
    }
}

QByteArray VersionSha256(const HistoryVersion& v) {
    QTemporaryFile inflated;
    if (!inflated.open() || !ReadVersion(v, inflated).ok || !inflated.flush()) return {};
    return TextSha256(inflated.fileName());
}

void Print(const VerbOptions& options, const QString& id, const QDateTime& date, qint64 size, const QString& origin,
           const QByteArray& sha256) {
    const QString when = date.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (options.json) {
        const QJsonObject row{{QStringLiteral("id"), id == QLatin1String("nu") ? QJsonValue() : QJsonValue(id.toInt())},
                              {QStringLiteral("date"), when},
                              {QStringLiteral("size"), double(size)},
                              {QStringLiteral("origin"), origin},
                              {QStringLiteral("sha256"), QString::fromLatin1(sha256)}};
        VerbOut(QString::fromUtf8(QJsonDocument(row).toJson(QJsonDocument::Compact)));
    } else {
        VerbOutFields({id, when, QString::number(size), origin, QString::fromLatin1(sha256)});
    }
}
}  // namespace

int RunHistory(const VerbOptions& options) {
    const QString file = options.args.value(0);
    // The present file first: a job after the last kept version sent it.
    if (const QFileInfo present(file); present.isFile())
        Print(options, QStringLiteral("nu"), present.lastModified(), present.size(), QStringLiteral("den nuvarande filen"),
              TextSha256(file));
    for (const HistoryVersion& v : ListVersions(file))
        Print(options, QString::number(v.id), v.date, v.size, v.origin, VersionSha256(v));
    return VerbOk;
}

int RunRestore(const VerbOptions& options) {
    const QString file = options.args.value(0);
    bool number = false;
    const int id = options.args.value(1).toInt(&number);
    if (!number) {
        VerbError(QStringLiteral("\"%1\" är inget versionsnummer.").arg(options.args.value(1)));
        return VerbUsage;
    }
    const FileResult r = RestoreVersion(file, id);
    if (!r.ok) {
        VerbError(QStringLiteral("%1: %2").arg(file, r.message()));
        return VerbFailed;
    }
    VerbOut(QStringLiteral("Version %1 av %2 är återställd.").arg(id).arg(file));
    return VerbOk;
}
