#include "jobs/journal.h"

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

namespace {
// Which process wrote a line, so that a server's start tells its dead
// predecessor's jobs from those a live window is running.
// (Literals, not QString globals: a journal may be written before main.)
constexpr QLatin1StringView kHost("host");
constexpr QLatin1StringView kPid("pid");
constexpr int kRetryMs = 5000;
constexpr qsizetype kChunk = 256 * 1024;

QStringList MonthFiles(const QString& folder) {
    static const QRegularExpression month(QStringLiteral("^\\d{4}-\\d{2}\\.jsonl$"));
    QStringList files = QDir(folder).entryList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Name);
    files.removeIf([](const QString& f) { return !month.match(f).hasMatch(); });
    return files;
}

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

const QString& HostName() {
    static const QString host = QSysInfo::machineHostName();
    return host;
}

const QByteArray& SelfStart() {
    static const QByteArray start = ProcessStartOf(QCoreApplication::applicationPid());
    return start;
}

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

void PutTime(QByteArray& out, const QDateTime& time) {
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

QString ErrorText(int code) { return QString::fromLocal8Bit(std::strerror(code)); }

// One record: its line, the month file it goes to, and whether it ends its job.
struct Record {
    QString month;  // "2026-12"
    QByteArray line;
    QString id;
    bool final = false;
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
        ::close(dir);
        if (fd < 0) return false;
        const auto done = qScopeGuard([fd] { ::close(fd); });
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

// A file's lines from its end to its start, read in chunks into one buffer.
class LinesBackward {
public:
    explicit LinesBackward(const QString& path, qint64 from = 0) : file_(path), floor_(from) {
        if (file_.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) pos_ = file_.size();
        else cut_ = -1;
    }
    // The next line further back, without its line end; the first one is
    // what follows the file's last line end (empty when it ends in one).
    bool next(QByteArrayView* line) {
        while (cut_ >= 0) {
            const char* data = buf_.data();
            const char* nl = static_cast<const char*>(cut_ > 0 ? ::memrchr(data, '\n', size_t(cut_)) : nullptr);
            if (nl) {
                const qsizetype at = nl - data;
                *line = QByteArrayView(nl + 1, cut_ - at - 1);
                cut_ = at;
                return true;
            }
            if (pos_ <= floor_) {
                *line = QByteArrayView(data, cut_);
                cut_ = -1;
                return true;
            }
            const qsizetype k = qsizetype(std::min<qint64>(kChunk, pos_ - floor_));
            if (size_t(k + cut_) > buf_.size()) buf_.resize(size_t(k + cut_));
            std::memmove(buf_.data() + k, buf_.data(), size_t(cut_));
            pos_ -= k;
            if (!file_.seek(pos_) || file_.read(buf_.data(), k) != k) {
                cut_ = -1;
                return false;
            }
            cut_ += k;
        }
        return false;
    }

private:
    QFile file_;
    qint64 floor_ = 0, pos_ = 0;
    std::vector<char> buf_;
    qsizetype cut_ = 0;
};

// The text of a top-level string field as the line holds it ("\"id\":\""
// for key), null when absent; *escaped when it holds an escape. Inside a
// value every quote is escaped, so key cannot match there.
QByteArrayView RawString(QByteArrayView line, std::string_view key, bool* escaped) {
    const std::string_view text(line.data(), size_t(line.size()));
#ifdef __GLIBC__
    const void* found = ::memmem(text.data(), text.size(), key.data(), key.size());
    if (!found) return {};
    const size_t at = size_t(static_cast<const char*>(found) - text.data());
#else
    const size_t at = text.find(key);
    if (at == std::string_view::npos) return {};
#endif
    *escaped = false;
    for (size_t i = at + key.size(); i < text.size(); ++i) {
        if (text[i] == '\\') {
            *escaped = true;
            ++i;
        } else if (text[i] == '"') {
            return QByteArrayView(line.data() + at + key.size(), qsizetype(i - at - key.size()));
        }
    }
    return {};
}

QByteArray TimeText(const QDateTime& t) {
    QByteArray out;
    PutTime(out, t);
    return out.mid(1, out.size() - 2);
}

// A line that does not match the query by what is cheap to see; a line
// that might goes through the JSON parser.
struct Prefilter {
    QByteArray machine;  // UTF-8, or empty
    QString machineText;
    QByteArray since;  // as the lines write times, or empty

    bool rejects(QByteArrayView line) const {
        bool escaped = false;
        if (!machine.isEmpty()) {
            const QByteArrayView m = RawString(line, "\"machine\":\"", &escaped);
            if (!m.isNull() && !escaped && m != QByteArrayView(machine) &&
                QString::fromUtf8(m).compare(machineText, Qt::CaseInsensitive) != 0)
                return true;
        }
        if (!since.isEmpty()) {
            const QByteArrayView c = RawString(line, "\"created\":\"", &escaped);
            if (c.size() == since.size() && !escaped && c < QByteArrayView(since)) return true;
        }
        return false;
    }
};

// Looks like a whole journal line: a known state and kind, and its close.
bool LooksWhole(QByteArrayView line) {
    bool escaped = false;
    const QByteArrayView state = RawString(line, "\"state\":\"", &escaped);
    const QByteArrayView kind = RawString(line, "\"kind\":\"", &escaped);
    static const auto words = [](auto last, auto word) {
        std::vector<QByteArray> w;
        for (int i = 0; i <= int(last); ++i) w.push_back(word(decltype(last)(i)).toLatin1());
        return w;
    };
    static const std::vector<QByteArray> states = words(JobState::Cancelled, StateWord);
    static const std::vector<QByteArray> kinds = words(JobKind::Drip, KindWord);
    const auto known = [](const std::vector<QByteArray>& list, QByteArrayView w) {
        return std::any_of(list.begin(), list.end(), [&](const QByteArray& x) { return w == QByteArrayView(x); });
    };
    return line.endsWith('}') && !state.isNull() && !kind.isNull() && known(states, state) && known(kinds, kind);
}

struct Parsed {
    Job job;
    QString host;
    qint64 pid = 0;
};

std::optional<Parsed> Parse(QByteArrayView line) {
    const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray());
    if (!doc.isObject()) return std::nullopt;
    const QJsonObject obj = doc.object();
    std::optional<Job> job = Job::fromJson(obj);
    if (!job) return std::nullopt;
    return Parsed{std::move(*job), obj.value(kHost).toString(), qint64(obj.value(kPid).toDouble())};
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
                                         job.finished()});
}

int Journal::waiting() const { return WriterFor(folder_).waiting(); }

JournalRead Journal::query(const JournalQuery& q) const {
    JournalRead r;
    const QStringList files = MonthFiles(folder_);
    const QString first = q.since.isValid() ? q.since.toUTC().toString(QStringLiteral("yyyy-MM")) : QString();
    Prefilter pre{q.machine.toUtf8(), q.machine, q.since.isValid() ? TimeText(q.since) : QByteArray()};
    const qsizetype limit = q.limit > 0 ? q.limit : std::numeric_limits<qsizetype>::max();
    QSet<QByteArray> seen;           // ids whose last line has been read
    std::vector<size_t> beyond;      // hashes of the ids the limit left out
    bool full = false;
    for (qsizetype i = files.size() - 1; i >= 0 && !(full && !q.countLeftOut); --i) {
        if (!first.isEmpty() && files[i].left(7) < first) break;
        LinesBackward lines(folder_ + QLatin1Char('/') + files[i]);
        QByteArrayView line;
        while (lines.next(&line)) {
            if (line.isEmpty()) continue;
            bool escaped = false;
            const QByteArrayView rawId = RawString(line, "\"id\":\"", &escaped);
            if (!rawId.isNull() && seen.contains(QByteArray::fromRawData(rawId.data(), rawId.size()))) continue;
            if (pre.rejects(line)) continue;
            if (full && !rawId.isNull() && !escaped && LooksWhole(line)) {
                beyond.push_back(qHash(rawId));
                continue;
            }
            std::optional<Parsed> p = Parse(line);
            if (!p) {
                ++r.skipped;
                continue;
            }
            const Job& j = p->job;
            seen.insert(rawId.isNull() ? j.id.toUtf8() : rawId.toByteArray());
            if (!q.machine.isEmpty() && j.machine.compare(q.machine, Qt::CaseInsensitive) != 0) continue;
            if (q.since.isValid() && j.created.isValid() && j.created < q.since) continue;
            if (full) {
                beyond.push_back(qHash(j.id.toUtf8()));
                continue;
            }
            r.jobs.append(j);
            r.lines.append(line.toByteArray());
            if (r.jobs.size() >= limit) {
                full = true;
                if (!q.countLeftOut) break;
            }
        }
    }
    std::vector<qsizetype> order(size_t(r.jobs.size()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        const Job& x = r.jobs[a];
        const Job& y = r.jobs[b];
        return x.created != y.created ? x.created > y.created : x.id > y.id;
    });
    JournalRead sorted;
    for (const qsizetype k : order) {
        sorted.jobs.append(r.jobs[k]);
        sorted.lines.append(r.lines[k]);
    }
    sorted.skipped = r.skipped;
    std::sort(beyond.begin(), beyond.end());
    sorted.leftOut = qint64(std::unique(beyond.begin(), beyond.end()) - beyond.begin());
    return sorted;
}

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
