#include "library/historystore.h"

#include "common/log.h"
#include "common/paths.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace history {

namespace {

// Another process may hold a lock while it compresses a large program.
constexpr int kLockWaitMs = 120000;
const char kIndex[] = "index";
const char kIndexLock[] = "index.lock";
// What pruning may take, oldest first, as the last count found it.
const char kQueue[] = "queue";

QString InStore(const char* name) { return JoinPath(HistoryFolder(), QLatin1String(name)); }

}  // namespace

Lock::Lock(const QString& path) {
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

Lock::~Lock() {
#ifdef Q_OS_UNIX
    if (fd_ >= 0) ::close(fd_);
#endif
}

QList<Stored> VersionsIn(const QString& store, QStringList* leftovers) {
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

namespace {

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

}  // namespace

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

}  // namespace history
