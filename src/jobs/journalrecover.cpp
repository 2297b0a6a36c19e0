// Jobs a killed process left open, ended at the next start: found from each
// process's file of open jobs, never by reading the months.
#include "jobs/journal.h"
#include "jobs/journalparts.h"

#include "common/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

using namespace journal;

namespace {
bool Alive(qint64 pid) {
    if (pid <= 0) return false;
#ifdef Q_OS_UNIX
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
#elif defined(Q_OS_WIN)
    const HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!h) return false;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
    CloseHandle(h);
    return running;
#else
    return true;
#endif
}

// The whole line that begins at offset of a month file; empty when none does.
QByteArray LineAt(const QString& path, qint64 offset) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || offset < 0 || offset >= f.size()) return {};
    if (offset > 0) {
        char before = 0;
        if (!f.seek(offset - 1) || !f.getChar(&before) || before != '\n') return {};
    }
    if (!f.seek(offset)) return {};
    QByteArray line;
    while (!f.atEnd()) {
        const QByteArray piece = f.read(kChunk);
        if (piece.isEmpty()) break;
        const qsizetype nl = piece.indexOf('\n');
        if (nl >= 0) return line + piece.left(nl);
        line += piece;
    }
    return {};
}

Job Stopped(Job j) {
    j.state = JobState::Cancelled;
    j.ended = QDateTime::currentDateTimeUtc();
    j.text = QStringLiteral("servern stoppades");
    return j;
}
}  // namespace

int Journal::recoverUnended() {
    const QString host = HostName();
    const qint64 self = QCoreApplication::applicationPid();
    int recovered = 0;
    const QString openFolder = folder_ + QStringLiteral("/open");
    if (!QFileInfo::exists(openFolder)) {
        // A journal from before the files of open jobs: its last two months, once.
        const QStringList files = MonthFiles(folder_);
        QSet<QString> seen;
        for (qsizetype i = files.size() - 1; i >= std::max<qsizetype>(0, files.size() - 2); --i) {
            LinesBackward lines(folder_ + QLatin1Char('/') + files[i]);
            QByteArrayView line;
            while (lines.next(&line)) {
                std::optional<Parsed> p = line.isEmpty() ? std::nullopt : Parse(line);
                if (!p || seen.contains(p->job.id)) continue;
                seen.insert(p->job.id);
                if (p->job.finished() || p->host != host || (p->pid != self && Alive(p->pid))) continue;
                if (record(Stopped(p->job))) ++recovered;
            }
        }
        if (!files.isEmpty()) QDir().mkpath(openFolder);
        return recovered;
    }
    static const QRegularExpression name(QStringLiteral("^(\\d+)-(\\d*)-(.*)$"));
    QString ownHost = host;
    ownHost.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString& file : QDir(openFolder).entryList(QDir::Files)) {
        const QRegularExpressionMatch m = name.match(file);
        if (!m.hasMatch() || m.captured(3) != ownHost) continue;
        const qint64 pid = m.captured(1).toLongLong();
        const QByteArray start = m.captured(2).toLatin1();
        if (pid == self && start == SelfStart()) continue;
        if (pid != self && Alive(pid)) {
            // The same process only when it started when the file says.
            const QByteArray now = ProcessStartOf(pid);
            if (start.isEmpty() || now.isEmpty() || now == start) continue;
        }
        QFile index(openFolder + QLatin1Char('/') + file);
        if (!index.open(QIODevice::ReadOnly)) continue;
        // Each job's last entry: where its last line is, and whether it ended.
        struct Entry {
            QString month;
            qint64 offset = 0;
            bool final = false;
        };
        QHash<QString, Entry> last;
        QStringList order;
        for (const QByteArray& raw : index.readAll().split('\n')) {
            const QList<QByteArray> f = raw.split(' ');
            if (f.size() != 4) continue;
            const QString id = QUrl::fromPercentEncoding(f[3]);
            if (!last.contains(id)) order << id;
            last[id] = {QString::fromLatin1(f[0]), f[1].toLongLong(), f[2] == "e"};
        }
        bool all = true;
        for (const QString& id : order) {
            const Entry& e = last[id];
            if (e.final) continue;
            const QByteArray line = LineAt(folder_ + QLatin1Char('/') + e.month + QStringLiteral(".jsonl"), e.offset);
            std::optional<Parsed> p = line.isEmpty() ? std::nullopt : Parse(line);
            if (!p || p->job.id != id) {
                AddLog(QStringLiteral("Journalen: jobb %1 kunde inte läsas i %2.jsonl och avslutas inte.").arg(id, e.month));
                continue;
            }
            if (p->job.finished()) continue;
            if (record(Stopped(p->job))) ++recovered;
            else all = false;
        }
        if (all) index.remove();
    }
    return recovered;
}
