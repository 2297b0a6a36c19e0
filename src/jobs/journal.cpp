#include "jobs/journal.h"
#include "jobs/journalindex.h"
#include "jobs/journalparts.h"

#include "common/dates.h"
#include "common/home.h"
#include "common/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <string_view>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

using namespace journal;

namespace {
constexpr int kRetryMs = 5000;

// The name of this process's file of open jobs: "PID-START-HOST".
QString OpenFileName(qint64 pid, const QByteArray& start) {
    QString host = HostName();
    host.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("%1-%2-%3").arg(pid).arg(QString::fromLatin1(start), host);
}

constexpr char kHex[] = "0123456789abcdef";

void PutString(QByteArray& out, const QString& text) {
    out += '"';
    for (const char c : text.toUtf8()) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && c != '"' && c != '\\') {
            out += c;
            continue;
        }
        out += '\\';
        switch (c) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '\b': out += 'b'; break;
            case '\f': out += 'f'; break;
            case '\n': out += 'n'; break;
            case '\r': out += 'r'; break;
            case '\t': out += 't'; break;
            default: out += "u00", out += kHex[b >> 4], out += kHex[b & 15];
        }
    }
    out += '"';
}

QString ErrorText(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

// One record: its line, the month file it goes to, and whether it ends its job.
struct Record {
    QString month;  // "2026-12"
    QByteArray line;
    QString id;
    bool final = false;
    int day = 1;  // of the month, for its index
    QString machine;
};

// The process's writer for one journal folder: lines that could not be
// written wait here, in order, and every later line waits behind them.
class Writer {
public:
    explicit Writer(QString folder) : folder_(std::move(folder)) {}
    ~Writer() {
#ifdef Q_OS_UNIX
        // Nothing open: the file would only tell the next server about nothing.
        if (indexFd_ >= 0) {
            ::close(indexFd_);
            if (open_.isEmpty() && pending_.empty()) ::unlink(QFile::encodeName(indexPath_).constData());
        }
#endif
    }

    bool add(Record r) {
        const std::lock_guard lock(mutex_);
        if (!pending_.empty()) flush();
        if (pending_.empty()) {
            QString why;
            if (write(r, &why)) return true;
            gapSince_ = QDateTime::currentDateTime();
            AddLog(QStringLiteral("Journalen kunde inte skrivas: %1 (%2). Raderna väntar i minnet och skrivs när "
                                  "det går.")
                       .arg(QDir::toNativeSeparators(pathOf(r.month)), why));
        }
        pending_.push_back(std::move(r));
        scheduleRetry();
        return false;
    }

    int waiting() const {
        const std::lock_guard lock(mutex_);
        return int(pending_.size());
    }

private:
    QString pathOf(const QString& month) const { return folder_ + QLatin1Char('/') + month + QStringLiteral(".jsonl"); }

    // The waiting lines, oldest first, as far as they go.
    void flush() {
        const qsizetype before = qsizetype(pending_.size());
        QString why;
        while (!pending_.empty() && write(pending_.front(), &why)) pending_.pop_front();
        if (pending_.empty() && before > 0)
            AddLog(QStringLiteral("Journalen: %1 rader som väntat sedan %2 är skrivna.")
                       .arg(before)
                       .arg(GeneralDate(gapSince_)));
    }

    void scheduleRetry() {
        if (retrying_ || !QCoreApplication::instance()) return;
        retrying_ = true;
        QTimer::singleShot(kRetryMs, QCoreApplication::instance(), [this] {
            const std::lock_guard lock(mutex_);
            retrying_ = false;
            flush();
            if (!pending_.empty()) scheduleRetry();
        });
    }

#ifdef Q_OS_UNIX
    // The folder itself, never a link planted in its place.
    int openFolder(const QString& folder) {
        const QByteArray name = QFile::encodeName(folder);
        int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && QDir().mkpath(folder))
            fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        return fd;
    }

    // A regular file of the folder, made 0640; an existing one this process
    // owns loses any write bit of the group and others.
    int openFile(int dir, const QString& name, QString* why) {
        const int fd = ::openat(dir, QFile::encodeName(name).constData(),
                                O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
        if (fd < 0) {
            *why = errno == ELOOP ? QStringLiteral("en symbolisk länk") : ErrorText(errno);
            return -1;
        }
        struct stat st{};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *why = QStringLiteral("ingen vanlig fil");
            ::close(fd);
            return -1;
        }
        if (st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)))
            (void)::fchmod(fd, st.st_mode & 07777 & ~(S_IWGRP | S_IWOTH));
        return fd;
    }

    // In the journal's own folder (dir), never through a link.
    bool openIndex(int dir, QString* why) {
        if (indexFd_ >= 0) return true;
        const int open = ::openat(dir, "open", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (open < 0) {
            *why = ErrorText(errno);
            return false;
        }
        const QString name = OpenFileName(QCoreApplication::applicationPid(), SelfStart());
        indexFd_ = openFile(open, name, why);
        ::close(open);
        if (indexFd_ < 0) return false;
        indexPath_ = folder_ + QStringLiteral("/open/") + name;
        // A file of an earlier process with this pid and start cannot be: ours from the start.
        (void)::ftruncate(indexFd_, 0);
        return true;
    }

    // The record's line, with its place in this process's file of open jobs;
    // both or neither.
    bool write(const Record& r, QString* why) {
        const bool opens = !r.final;
        const bool closes = r.final && open_.contains(r.id);
        const int dir = openFolder(folder_);
        if (dir < 0) {
            *why = ErrorText(errno);
            return false;
        }
        // The folder of open jobs also marks a journal this version writes (see recoverUnended).
        if (!marked_) marked_ = ::mkdirat(dir, "open", 0750) == 0 || errno == EEXIST;
        const int fd = (opens || closes) && !openIndex(dir, why) ? -1 : openFile(dir, r.month + QStringLiteral(".jsonl"), why);
        const auto done = qScopeGuard([fd, dir] {
            if (fd >= 0) ::close(fd);
            ::close(dir);
        });
        if (fd < 0) return false;
        // Among the program's writers the look at the last byte and the
        // write are one step: a write under way shows its size before its
        // bytes. Never waited for long: a lock held elsewhere for ever
        // costs a spare line end at worst.
        for (int i = 0; i < 200 && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK; ++i) ::usleep(50);
        struct stat st{};
        (void)::fstat(fd, &st);
        // A line cut off by an older writer ends here, so that it spoils only itself.
        QByteArray out;
        char last = '\n';
        if (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
            out.reserve(r.line.size() + 1);
            out += '\n';
            out += r.line;
        }
        const QByteArray& bytes = out.isEmpty() ? r.line : out;
        indexLine(dir, r, st.st_size);
        ssize_t n;
        do n = ::write(fd, bytes.constData(), size_t(bytes.size()));
        while (n < 0 && errno == EINTR);
        if (n != bytes.size()) {
            *why = n < 0 ? ErrorText(errno) : QStringLiteral("%1 av %2 byte skrevs").arg(n).arg(bytes.size());
            if (n > 0) cutBack(fd, n);
            return false;
        }
        const qint64 end = ::lseek(fd, 0, SEEK_CUR);
        if (!(opens || closes)) return true;
        if (closes && open_.size() == 1) {
            // Nothing of this process is open any more: its file is emptied.
            if (::ftruncate(indexFd_, 0) == 0) {
                backlog_.clear();
                open_.clear();
                return true;
            }
        }
        const QByteArray entry = r.month.toLatin1() + ' ' + QByteArray::number(end - r.line.size()) + ' ' +
                                 (r.final ? 'e' : 'o') + ' ' + QUrl::toPercentEncoding(r.id) + '\n';
        const QByteArray all = backlog_ + entry;
        struct stat ist{};
        (void)::fstat(indexFd_, &ist);
        do n = ::write(indexFd_, all.constData(), size_t(all.size()));
        while (n < 0 && errno == EINTR);
        if (n != all.size()) {
            if (n > 0) (void)::ftruncate(indexFd_, ist.st_size);
            // The line goes too, unless another process has appended since.
            if (cutBack(fd, bytes.size())) {
                *why = n < 0 ? ErrorText(errno) : QStringLiteral("förteckningen över öppna jobb");
                return false;
            }
            backlog_ += entry;
        } else {
            backlog_.clear();
        }
        if (opens) open_.insert(r.id);
        else open_.remove(r.id);
        return true;
    }

    // The month's index ahead of a line that begins at offset: an entry
    // when its day and machine have none. The line is written whatever
    // fails here; an index that would miss it is removed.
    void indexLine(int dir, const Record& r, qint64 offset) {
        MonthKeys& m = indexed_[r.month];
        const QByteArray key = IndexKey(r.day, r.machine);
        if (m.off || m.keys.contains(key)) return;
        const QByteArray name = QFile::encodeName(r.month + QStringLiteral(".idx"));
        // An index begins with its month, or never.
        const bool fresh = offset == 0;
        const int fd = ::openat(dir, name.constData(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (fresh ? O_CREAT : 0), 0640);
        if (fd < 0) {
            if (errno != ENOENT) (void)::unlinkat(dir, name.constData(), 0);
            m.off = true;
            return;
        }
        const auto done = qScopeGuard([fd] { ::close(fd); });
        if (!m.loaded) {
            m.loaded = true;
            // Entries of a month file that is gone are not this one's.
            if (fresh) (void)::ftruncate(fd, 0);
            QByteArray all;
            char buf[65536];
            for (ssize_t n; !fresh && (n = ::pread(fd, buf, sizeof buf, all.size())) > 0;) all.append(buf, n);
            for (const QByteArray& k : journal::IndexKeys(all)) m.keys.insert(k);
            if (m.keys.contains(key)) return;
        }
        const QByteArray entry = IndexEntry(r.day, r.machine, offset);
        ssize_t n;
        do n = ::write(fd, entry.constData(), size_t(entry.size()));
        while (n < 0 && errno == EINTR);
        if (n != entry.size()) {
            (void)::unlinkat(dir, name.constData(), 0);
            m.off = true;
            return;
        }
        m.keys.insert(key);
    }

    // The file back to where the last n bytes written began, when nothing follows them.
    static bool cutBack(int fd, qint64 n) {
        const qint64 end = ::lseek(fd, 0, SEEK_CUR);
        struct stat st{};
        if (end < n || ::fstat(fd, &st) != 0 || st.st_size != end) return false;
        return ::ftruncate(fd, end - n) == 0;
    }

    int indexFd_ = -1;
    bool marked_ = false;
    QString indexPath_;
    QByteArray backlog_;  // entries written to the journal but not yet to the file of open jobs
    struct MonthKeys {
        QSet<QByteArray> keys;  // day and machine entered (see IndexKey)
        bool loaded = false, off = false;
    };
    std::map<QString, MonthKeys> indexed_;  // by month
#else
    bool write(const Record& r, QString* why) {
        QDir().mkpath(folder_);
        QFile f(pathOf(r.month));
        if (f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered) && f.write(r.line) == r.line.size())
            return true;
        *why = f.errorString();
        return false;
    }
#endif

    QString folder_;
    std::deque<Record> pending_;
    QDateTime gapSince_;
    QSet<QString> open_;  // this process's jobs whose last line is not an end
    bool retrying_ = false;
    mutable std::recursive_mutex mutex_;
};

Writer& WriterFor(const QString& folder) {
    static std::mutex guard;
    static std::map<QString, std::unique_ptr<Writer>> writers;
    const std::lock_guard lock(guard);
    auto& w = writers[QDir::cleanPath(QDir(folder).absolutePath())];
    if (!w) w = std::make_unique<Writer>(folder);
    return *w;
}

}  // namespace

const QString& journal::HostName() {
    static const QString host = QSysInfo::machineHostName();
    return host;
}

const QByteArray& journal::SelfStart() {
    static const QByteArray start = ProcessStartOf(QCoreApplication::applicationPid());
    return start;
}

void journal::PutTime(QByteArray& out, const QDateTime& time) {
    if (!time.isValid()) {
        out += "null";
        return;
    }
    const QDateTime utc = time.toUTC();
    const QDate d = utc.date();
    const QTime t = utc.time();
    if (d.year() < 1000 || d.year() > 9999) {
        PutString(out, utc.toString(Qt::ISODateWithMs));
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", d.year(), d.month(), d.day(), t.hour(),
                  t.minute(), t.second(), t.msec());
    out += text;
}

QByteArray ProcessStartOf(qint64 pid) {
#ifdef Q_OS_LINUX
    // Field 22 of /proc/PID/stat; the name before it may hold blanks and parentheses.
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray stat = f.readAll();
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) return {};
    return stat.mid(close + 2).split(' ').value(19);
#else
    Q_UNUSED(pid);
    return {};
#endif
}

QByteArray JournalLine(const Job& job, const QString& host, qint64 pid) {
    QByteArray out;
    out.reserve(400 + 300 * job.programs.size());
    out += "{\"by\":", PutString(out, job.by);
    out += ",\"created\":", PutTime(out, job.created);
    out += ",\"ended\":", PutTime(out, job.ended);
    out += ",\"host\":", PutString(out, host);
    out += ",\"id\":", PutString(out, job.id);
    out += ",\"kind\":", PutString(out, KindWord(job.kind));
    out += ",\"machine\":", PutString(out, job.machine);
    out += ",\"pid\":" + QByteArray::number(pid);
    out += ",\"programs\":[";
    for (qsizetype i = 0; i < job.programs.size(); ++i) {
        const JobProgram& p = job.programs[i];
        out += i == 0 ? "{\"bytes\":" : ",{\"bytes\":";
        out += QByteArray::number(p.bytes);
        out += ",\"file\":", PutString(out, p.file);
        out += ",\"name\":", PutString(out, p.name);
        out += ",\"result\":", PutString(out, ResultWord(p.result));
        out += ",\"sha256\":", PutString(out, QString::fromLatin1(p.sha256));
        out += ",\"text\":", PutString(out, p.text);
        out += '}';
    }
    out += "],\"started\":", PutTime(out, job.started);
    out += ",\"state\":", PutString(out, StateWord(job.state));
    out += ",\"text\":", PutString(out, job.text);
    out += "}\n";
    return out;
}

Journal::Journal() : Journal(InProgramFolder(QStringLiteral("journal"))) {}

Journal::Journal(QString folder) : folder_(std::move(folder)) {}

QString Journal::fileFor(const QDateTime& time) const {
    return folder_ + QLatin1Char('/') + time.toUTC().toString(QStringLiteral("yyyy-MM")) + QStringLiteral(".jsonl");
}

bool Journal::record(const Job& job) {
    QDateTime when = job.finished() ? job.ended : job.state == JobState::Running ? job.started : job.created;
    if (!when.isValid()) when = QDateTime::currentDateTimeUtc();
    return WriterFor(folder_).add(Record{when.toUTC().toString(QStringLiteral("yyyy-MM")),
                                         JournalLine(job, HostName(), QCoreApplication::applicationPid()), job.id,
                                         job.finished(), when.toUTC().date().day(), job.machine});
}

int Journal::waiting() const { return WriterFor(folder_).waiting(); }
