// The journal at a year's scale: a month of 1,000,000 lines (about 350 MB)
// and eleven months before it of 100,000 lines each, against an empty
// journal, for what reads it: the shop server's start to its first answer
// (GET /api/jobs), `jobs`, `jobs MACHINE` (a machine of every day, one of
// three lines early in this month, and one of three lines in the oldest
// month, also with --since its month) and `jobs --since` a recent day. Each runs as a process of its own; figures are its wall
// time and its peak resident memory (targets: under 1 s and 50 MB above the
// empty journal). Then what a record costs to append: Journal::record in a
// loop, against a bare open/write/close of the same line.
//
//   bench_journal [LINES] [--no-index]
//
// LINES: lines of this month (default 1,000,000). --no-index: the months
// without their indexes, as a journal of an older version reads.
//
// The program folder is made in the temporary folder (TMPDIR).
#include "benchutil.h"
#include "common/home.h"
#include "jobs/journal.h"
#include "jobs/journalindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimeZone>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct Run {
    double seconds = 0;
    long long peakKb = 0;
    bool ok = false;
};

std::vector<std::string> Args(const QString& program, const QStringList& args) {
    std::vector<std::string> out{program.toStdString()};
    for (const QString& a : args) out.push_back(a.toStdString());
    return out;
}

pid_t Spawn(const std::vector<std::string>& args, int* out) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::close(pipefd[0]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipefd[1]);
    *out = pipefd[0];
    return pid;
}

// A verb to its end: its output read and dropped.
Run Verb(const QString& program, const QStringList& args) {
    Run r;
    int out = -1;
    const double t0 = Now();
    const pid_t pid = Spawn(Args(program, args), &out);
    char buf[65536];
    long long bytes = 0;
    for (ssize_t n; (n = ::read(out, buf, sizeof buf)) > 0;) bytes += n;
    ::close(out);
    int status = 0;
    rusage use{};
    ::wait4(pid, &status, 0, &use);
    r.seconds = Now() - t0;
    r.peakKb = use.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && bytes > 0;
    return r;
}

long long StatusKb(pid_t pid, const char* key) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(int(std::strlen(key))).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// The server from its start to the end of its first answer to GET /api/jobs.
Run Server(const QString& program, const QString& home, quint16 web) {
    Run r;
    int out = -1;
    const double t0 = Now();
    const pid_t pid = Spawn(Args(program, {"--home", home, "serve", "--all"}), &out);
    std::string seen;
    char buf[4096];
    while (seen.find("WEB ") == std::string::npos) {
        const ssize_t n = ::read(out, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, size_t(n));
    }
    if (seen.find("WEB ") != std::string::npos) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(web);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const std::string request =
                "GET /api/jobs HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(web) + "\r\nConnection: close\r\n\r\n";
            (void)!::write(s, request.data(), request.size());
            std::string answer;
            for (ssize_t n; (n = ::read(s, buf, sizeof buf)) > 0;) answer.append(buf, size_t(n));
            r.ok = answer.rfind("HTTP/1.1 200", 0) == 0;
            if (!r.ok && getenv("BENCH_DEBUG")) std::fprintf(stderr, "answer: %.200s\n", answer.c_str());
        }
        ::close(s);
    }
    r.seconds = Now() - t0;
    r.peakKb = StatusKb(pid, "VmHWM:");
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(out);
    return r;
}

void Print(const char* what, const Run& full, const Run& empty) {
    const long long above = full.peakKb - empty.peakKb;
    std::printf("%-34s %7.3f s (empty %6.3f s)  peak %7.1f MB, %6.1f MB above empty  %s\n", what, full.seconds,
                empty.seconds, double(full.peakKb) / 1024, double(above) / 1024,
                full.ok && empty.ok && full.seconds < 1.0 && above < 50 * 1024 ? "OK" : "OVER");
}

// A month of journal lines from from to to: eight machines taking turns,
// three lines a job (queued, running, done) with a program each; rare in
// the three lines of job rareJob only. Its index beside it, as the writers
// keep it: the first line of each day and machine.
bool WriteMonth(const QString& path, long lines, const QDateTime& from, const QDateTime& to, const QString& rare,
                long rareJob, bool indexed) {
    QFile f(path), index(journal::IndexPathFor(path));
    if (!f.open(QIODevice::WriteOnly) || (indexed && !index.open(QIODevice::WriteOnly))) return false;
    const qint64 span = std::max<qint64>(from.msecsTo(to), 1);
    const QString tag = from.toString(QStringLiteral("yyyyMM"));
    QSet<QByteArray> keys;
    QByteArray chunk;
    qint64 offset = 0;
    for (long i = 0; i < lines; ++i) {
        const long jobNo = i / 3;
        Job j;
        j.id = QStringLiteral("bench-%1-%2").arg(tag).arg(jobNo);
        j.machine = jobNo == rareJob && !rare.isEmpty() ? rare : QStringLiteral("Fräs %1").arg(jobNo % 8 + 1);
        j.kind = JobKind::Send;
        j.by = QStringLiteral("verb anna (pid 4242)");
        j.created = from.addMSecs(span * jobNo * 3 / lines);
        j.state = i % 3 == 0 ? JobState::Queued : i % 3 == 1 ? JobState::Running : JobState::Done;
        if (i % 3 >= 1) j.started = j.created.addSecs(1);
        if (i % 3 == 2) j.ended = j.created.addSecs(4);
        j.programs.append({QStringLiteral("O%1").arg(1000 + jobNo % 9000),
                           QStringLiteral("/srv/ncprog/Fräs/O%1.NC").arg(1000 + jobNo % 9000), 48211,
                           QByteArray("3fa9c1d2e4b56a7890fedcba0123456789abcdef0123456789abcdef01234567"),
                           ProgramResult::Ok, QStringLiteral("Sändning klar")});
        const int day = (j.ended.isValid() ? j.ended : j.started.isValid() ? j.started : j.created).date().day();
        if (indexed && !keys.contains(journal::IndexKey(day, j.machine))) {
            keys.insert(journal::IndexKey(day, j.machine));
            index.write(journal::IndexEntry(day, j.machine, offset));
        }
        const QByteArray line = JournalLine(j, QStringLiteral("verkstad-1"), 4242);
        chunk += line;
        offset += line.size();
        if (chunk.size() > (1 << 20)) {
            f.write(chunk);
            chunk.clear();
        }
    }
    f.write(chunk);
    std::printf("month: %ld lines, %.0f MB (%s)\n", lines, double(f.size()) / 1e6, qPrintable(path));
    return f.error() == QFile::NoError && (!indexed || index.error() == QFile::NoError);
}

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool indexed = !args.contains(QStringLiteral("--no-index"));
    const long lines = args.isEmpty() || args[0].startsWith(QLatin1Char('-')) ? 1000000 : args[0].toLong();
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/Fenmo32");
    QTemporaryDir full, empty;
    const quint16 web = FreePort();
    for (const QString& home : {full.path(), empty.path()}) {
        QDir().mkpath(home + QStringLiteral("/ncprog"));
        QDir().mkpath(home + QStringLiteral("/journal/open"));
        QFile ini(home + QStringLiteral("/Fenmo32.INI"));
        if (!ini.open(QIODevice::WriteOnly)) return 1;
        ini.write("[Program]\r\nListenPort=0\r\nListenAddress=127.0.0.1\r\nWebPort=" + QByteArray::number(web) +
                  "\r\nWebAddress=127.0.0.1\r\n[Maskin 1]\r\nNamn=Fräs 1\r\nTyp=0\r\nIP=127.0.0.2\r\nPort=1\r\n"
                  "GetDir=False\r\nExtension=NC\r\nRootPath=" + home.toUtf8() + "\r\nSendPath=" + home.toUtf8() +
                  "/ncprog\r\nRecPath=" + home.toUtf8() + "/ncprog\r\n");
    }

    // The month up to now, and the eleven before it at a tenth of its size.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime first(QDate(now.date().year(), now.date().month(), 1), QTime(0, 0), QTimeZone::utc());
    const Journal months(full.path() + QStringLiteral("/journal"));
    if (!WriteMonth(months.fileFor(now), lines, first, now, QStringLiteral("Borr 9"), 0, indexed)) return 1;
    QDateTime oldest = first;
    for (int m = 1; m <= 11; ++m) {
        const QDateTime from = first.addMonths(-m);
        if (!WriteMonth(months.fileFor(from), lines / 10, from, from.addMonths(1).addSecs(-60),
                        m == 11 ? QStringLiteral("Svarv 10") : QString(), lines / 60, indexed))
            return 1;
        oldest = from;
    }

    const QString recent = now.addDays(-1).toString(QStringLiteral("yyyy-MM-dd"));
    struct Case {
        const char* name;
        QStringList args;
    };
    const Case cases[] = {
        {"jobs", {"jobs"}},
        {"jobs \"Fräs 3\"", {"jobs", "Fräs 3"}},
        {"jobs \"Borr 9\" (three lines, day 1)", {"jobs", "Borr 9"}},
        {"jobs \"Svarv 10\" (one job, a year ago)", {"jobs", "Svarv 10"}},
        {"jobs \"Svarv 10\" --since its month", {"jobs", "Svarv 10", "--since", oldest.toString(QStringLiteral("yyyy-MM-dd"))}},
        {"jobs --since yesterday", {"jobs", "--since", recent}},
        {"jobs --json", {"jobs", "--json"}},
    };
    Print("serve --all to its first answer", Server(program, full.path(), web), Server(program, empty.path(), web));
    for (const Case& c : cases) {
        Run f = Verb(program, QStringList{"--home", full.path()} + c.args);
        Run e = Verb(program, QStringList{"--home", empty.path()} + c.args);
        e.ok = true;  // an empty journal prints nothing
        Print(c.name, f, e);
    }

    // Appending: the journal's record against a bare open, write and close of the same line.
    const int records = 20000;
    QTemporaryDir append;
    SetProgramFolder(append.path());
    Journal journal(append.path() + QStringLiteral("/journal"));
    Job j;
    j.machine = QStringLiteral("Fräs 1");
    j.by = QStringLiteral("verb anna (pid 4242)");
    j.created = j.started = now;
    j.state = JobState::Running;
    j.programs.append({QStringLiteral("O1000"), QStringLiteral("/srv/ncprog/O1000.NC"), 48211, QByteArray(64, 'a'),
                       ProgramResult::Ok, QStringLiteral("Sändning klar")});
    const double recordS = bench::BestOf(3, [&] {
        for (int i = 0; i < records; ++i) {
            j.id = QStringLiteral("a%1").arg(i / 2);
            j.state = i % 2 ? JobState::Done : JobState::Running;
            if (i % 2) j.ended = now;
            journal.record(j);
        }
    });
    const QByteArray line = JournalLine(j, QStringLiteral("verkstad-1"), 4242);
    const QByteArray bare = QFile::encodeName(append.path() + QStringLiteral("/bare.jsonl"));
    const double bareS = bench::BestOf(3, [&] {
        for (int i = 0; i < records; ++i) {
            const int fd = ::open(bare.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
            (void)!::write(fd, line.constData(), size_t(line.size()));
            ::close(fd);
        }
    });
    std::printf("a record (start or end, %d alternating)  %6.1f us  bare open/write/close %6.1f us\n", records,
                recordS / records * 1e6, bareS / records * 1e6);
    return 0;
}
