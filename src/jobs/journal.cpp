#include "jobs/journal.h"

#include "common/home.h"
#include "common/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSysInfo>
#include <algorithm>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
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

struct Line {
    Job job;
    QString host;
    qint64 pid = 0;
};

// Each id's last line in one file, in the order the ids first appear.
void ReadFile(const QString& path, QHash<QString, Line>& lines, QStringList& order) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return;
    while (!f.atEnd()) {
        const QByteArray raw = f.readLine();
        const QJsonDocument doc = QJsonDocument::fromJson(raw);
        if (!doc.isObject()) continue;
        const QJsonObject obj = doc.object();
        std::optional<Job> job = Job::fromJson(obj);
        if (!job) continue;
        auto it = lines.find(job->id);
        if (it == lines.end()) {
            order.append(job->id);
            it = lines.insert(job->id, {});
        }
        *it = Line{std::move(*job), obj.value(kHost).toString(), qint64(obj.value(kPid).toDouble())};
    }
}
}  // namespace

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

bool Journal::started(const Job& job) {
    return append(job, job.started.isValid() ? job.started : QDateTime::currentDateTimeUtc());
}

bool Journal::ended(const Job& job) {
    return append(job, job.ended.isValid() ? job.ended : QDateTime::currentDateTimeUtc());
}

bool Journal::append(const Job& job, const QDateTime& when) {
    const QByteArray line = JournalLine(job, QSysInfo::machineHostName(), QCoreApplication::applicationPid());
    const QString path = fileFor(when);
    bool ok = false;
#ifdef Q_OS_UNIX
    // Group-writable: a window user in the folder's group shares the month's file.
    const QByteArray name = QFile::encodeName(path);
    const auto open = [&] { return ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664); };
    int fd = open();
    // The folder is made when it is missing, not looked for at every line.
    if (fd < 0 && errno == ENOENT && QDir().mkpath(folder_)) fd = open();
    if (fd >= 0) {
        ssize_t n;
        do n = ::write(fd, line.constData(), size_t(line.size()));
        while (n < 0 && errno == EINTR);
        ok = n == line.size();
        // A cut line (full disk) is ended, so that it damages only itself.
        if (n > 0 && !ok) (void)!::write(fd, "\n", 1);
        ::close(fd);
    }
#else
    QDir().mkpath(folder_);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        ok = f.write(line) == line.size();
#endif
    if (!ok) AddLog(QStringLiteral("Journalen kunde inte skrivas: ") + QDir::toNativeSeparators(path));
    return ok;
}

QList<Job> Journal::read(const QString& machine, const QDateTime& since, int limit) const {
    const QStringList files = MonthFiles(folder_);
    const QString first = since.isValid() ? since.toUTC().toString(QStringLiteral("yyyy-MM")) : QString();
    // Newest file first; a job's line in a newer file wins over its older ones.
    QHash<QString, Line> jobs;
    QList<Job> out;
    for (qsizetype i = files.size() - 1; i >= 0; --i) {
        if (!first.isEmpty() && files[i].left(7) < first) break;
        QHash<QString, Line> lines;
        QStringList order;
        ReadFile(folder_ + QLatin1Char('/') + files[i], lines, order);
        for (const QString& id : order) {
            const Job& j = lines[id].job;
            if (jobs.contains(id)) continue;
            jobs.insert(id, lines[id]);
            if (!machine.isEmpty() && j.machine.compare(machine, Qt::CaseInsensitive) != 0) continue;
            if (since.isValid() && j.created.isValid() && j.created < since) continue;
            out.append(j);
        }
        if (out.size() >= limit) break;
    }
    std::stable_sort(out.begin(), out.end(), [](const Job& a, const Job& b) {
        return a.created != b.created ? a.created > b.created : a.id > b.id;
    });
    if (limit >= 0 && out.size() > limit) out.resize(limit);
    return out;
}

int Journal::recoverUnended() {
    // A dead process's last jobs are in the newest files there are.
    const QStringList files = MonthFiles(folder_);
    QHash<QString, Line> lines;
    QStringList order;
    for (qsizetype i = std::max<qsizetype>(0, files.size() - 2); i < files.size(); ++i)
        ReadFile(folder_ + QLatin1Char('/') + files[i], lines, order);
    const QString host = QSysInfo::machineHostName();
    const qint64 self = QCoreApplication::applicationPid();
    int recovered = 0;
    for (const QString& id : order) {
        const Line& l = lines[id];
        if (l.job.finished() || l.host != host) continue;
        // This process has started nothing yet: a line with its pid is an earlier one's.
        if (l.pid != self && Alive(l.pid)) continue;
        Job j = l.job;
        j.state = JobState::Cancelled;
        j.ended = QDateTime::currentDateTimeUtc();
        j.text = QStringLiteral("servern stoppades");
        if (ended(j)) ++recovered;
    }
    return recovered;
}
