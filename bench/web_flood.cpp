// A stranger's flood of costly GETs against a machine's own requests: the
// shop server (`serve --all`, a process of its own) with 3,000 programs in
// its machine's send folder; a machine on 127.0.0.2 asks `LOD O1` every
// 100 ms on its own connection, first alone, then while 64 web clients from
// 8 loopback addresses loop GETs of the library listing, the traffic, the
// log and the jobs without a token, each answer read whole.
//
// Figures: the LOD answer's time (request written to the answer's last
// byte), median and 99th percentile alone and under the flood (targets:
// + 20 ms and + 100 ms), LOD answers missing within 10 s (target: none); the
// GETs answered, by status; the server's CPU during the flood and its peak
// resident memory. Then the cost
// of the folder sync that makes a store last through a power cut: stores of
// a 10 KB program into a folder, the sync timed on its own, per store.
//
//   bench_web_flood [SECONDS]     the flood's length (default 30); the time
//                                 alone is a third of it, at least 5 s
//
// The program folder is made in the temporary folder (TMPDIR): the folder
// sync is measured on that file system.
#include "benchutil.h"
#include "programs.h"
#include "common/savefile.h"
#include "link/frames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {
constexpr int kPrograms = 3000, kClients = 64, kAddresses = 8, kLodEveryMs = 100, kLodTimeoutMs = 10000;
constexpr int kStores = 200;

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

int Connect(quint16 port, const char* from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    a.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const QByteArray& b) {
    return ::send(fd, b.constData(), size_t(b.size()), MSG_NOSIGNAL) == ssize_t(b.size());
}

// The machine: LOD O1 every 100 ms on one connection; each answer's time in ms (-1: none within 10 s).
std::vector<double> Machine(quint16 port, double seconds) {
    std::vector<double> times;
    const int fd = Connect(port, "127.0.0.2");
    if (fd < 0) return times;
    const QByteArray beforeLf = BuildFrame("C", "LOD", "", "O1", "00") + '\r';
    const QByteArray request = beforeLf + '\n' + CalcChecksum(beforeLf) + '%';
    const double end = Now() + seconds;
    char buffer[65536];
    for (double next = Now(); next < end; next += kLodEveryMs / 1000.0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, next - Now())));
        const double t0 = Now();
        if (!SendAll(fd, request)) break;
        QByteArray got;
        while (!(got.size() > 20 && got.endsWith('%')) && Now() - t0 < kLodTimeoutMs / 1000.0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, n);
        }
        const bool whole = got.size() > 20 && got.endsWith('%');
        times.push_back(whole ? (Now() - t0) * 1000 : -1);
        if (!whole) break;  // the connection's state is unknown now
    }
    ::close(fd);
    return times;
}

struct Flood {
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::map<int, long> statuses;  // 0: no answer
};

// A web client: GETs one after another, each on a new connection, read to the end.
void Client(Flood& flood, quint16 web, int index) {
    static const QByteArray kPaths[] = {"/api/machines/Fr%C3%A4s%201/library", "/api/machines/Fr%C3%A4s%201/traffic",
                                        "/api/machines/Fr%C3%A4s%201/library", "/api/log",
                                        "/api/machines/Fr%C3%A4s%201/library", "/api/jobs"};
    const QByteArray from = "127.0.1." + QByteArray::number(index % kAddresses + 1);
    char buffer[65536];
    for (int i = index; !flood.stop; ++i) {
        const QByteArray path = kPaths[i % std::size(kPaths)];
        int status = 0;
        const int fd = Connect(web, from.constData());
        if (fd >= 0 && SendAll(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(web) +
                                       "\r\nConnection: close\r\n\r\n")) {
            QByteArray head;
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                if (head.size() < 12) head.append(buffer, n);
            status = head.mid(9, 3).toInt();
        }
        if (fd >= 0) ::close(fd);
        // A refused connection is tried again a moment later, as a browser would.
        if (status == 0 || status == 503) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> hold(flood.lock);
        ++flood.statuses[status];
    }
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// The process's CPU seconds so far (user + system), from /proc.
double ProcessCpu(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

struct Lod {
    double median = -1, p99 = -1;
    long missing = 0, count = 0;
};
Lod Summary(const std::vector<double>& times) {
    Lod l;
    std::vector<double> ok;
    for (double t : times) (t < 0 ? l.missing : l.count) += 1;
    for (double t : times)
        if (t >= 0) ok.push_back(t);
    l.median = Percentile(ok, 0.5);
    l.p99 = Percentile(ok, 0.99);
    return l;
}

// Stores of a 10 KB program as the library writes them (a file beside the
// target, synced, renamed over it), the folder sync timed on its own.
void FolderSync(const QString& folder) {
    const QByteArray text = "%\r\nO4711\r\n" + QByteArray("N10 G01 X12.5 Y4.0 F200\r\n").repeated(400) + "%";
    double store = 0, sync = 0;
    for (int i = 0; i < kStores; ++i) {
        const QString path = folder + QStringLiteral("/O%1.NC").arg(4000 + i % 20);
        const double t0 = Now();
        QSaveFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size() || !f.commit()) {
            std::printf("folder sync: a store failed\n");
            return;
        }
        const double t1 = Now();
        if (!SyncFolderOf(path)) {
            std::printf("folder sync: the sync failed\n");
            return;
        }
        const double t2 = Now();
        store += t1 - t0;
        sync += t2 - t1;
    }
    std::printf("folder sync per store (%d stores of %lld B on %s): %.3f ms; the store without it %.3f ms (+%.0f%%)\n",
                kStores, qint64(text.size()), QStorageInfo(folder).fileSystemType().constData(),
                sync / kStores * 1000, store / kStores * 1000, store > 0 ? sync / store * 100 : 0.0);
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 30;
    const double alone = std::max(5.0, seconds / 3);
    QTemporaryDir home;
    const QString folder = home.path() + QStringLiteral("/ncprog");
    QDir().mkpath(folder);
    bench::WritePrograms(folder, kPrograms);
    {
        QFile o1(folder + QStringLiteral("/O1.NC"));
        if (!o1.open(QIODevice::WriteOnly)) return 1;
        o1.write("(FIXTUR)%\r\nO1\r\n" + QByteArray("G1 X10 Y10\r\n").repeated(80) + "%");
        QFile ini(home.path() + QStringLiteral("/Fenmo32.INI"));
        if (!ini.open(QIODevice::WriteOnly)) return 1;
        ini.write("[Program]\r\nListenPort=0\r\nListenAddress=127.0.0.1\r\nWebPort=" + QByteArray::number(FreePort()) +
                  "\r\nWebAddress=127.0.0.1\r\nWebAllowedHosts=127.0.0.0/8\r\nWebToken=bänk-nyckel-0123456789\r\n"
                  "[Maskin 1]\r\nNamn=Fräs 1\r\nTyp=0\r\nIP=127.0.0.2\r\nPort=1\r\nGetDir=False\r\nExtension=NC\r\n"
                  "RootPath=" + home.path().toUtf8() + "\r\nSendPath=" + folder.toUtf8() + "\r\nRecPath=" +
                  folder.toUtf8() + "\r\n");
    }
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QCoreApplication::applicationDirPath() + QStringLiteral("/Fenmo32"),
                 {QStringLiteral("--home"), home.path(), QStringLiteral("serve"), QStringLiteral("--all")});
    quint16 port = 0, web = 0;
    QByteArray out;
    while ((!port || !web) && server.waitForReadyRead(10000)) {
        out += server.readAllStandardOutput();
        for (const QByteArray& line : out.split('\n')) {
            if (line.startsWith("LISTENING ")) port = quint16(line.mid(10).trimmed().toUInt());
            if (line.startsWith("WEB ")) web = quint16(line.mid(4).trimmed().toUInt());
        }
    }
    if (!port || !web) {
        std::printf("the server did not start: %s\n", out.constData());
        return 1;
    }
    std::printf("%d programs, LOD every %d ms; alone %.0f s, then %d clients from %d addresses for %.0f s\n",
                kPrograms + 1, kLodEveryMs, alone, kClients, kAddresses, seconds);

    const Lod quiet = Summary(Machine(port, alone));
    Flood flood;
    std::vector<std::thread> clients;
    const double cpu0 = ProcessCpu(server.processId()), t0 = Now();
    for (int i = 0; i < kClients; ++i) clients.emplace_back(Client, std::ref(flood), web, i);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the flood under way first
    const Lod loaded = Summary(Machine(port, seconds));
    flood.stop = true;
    for (std::thread& c : clients) c.join();
    const double cpu = (ProcessCpu(server.processId()) - cpu0) / (Now() - t0);
    QByteArray peak;
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(server.processId()));
        if (status.open(QIODevice::ReadOnly))
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith("VmHWM:")) peak = line.mid(6).simplified();
    }
    server.kill();
    server.waitForFinished();

    std::printf("LOD alone:        median %7.2f ms  p99 %7.2f ms  (%ld answers, %ld missing)\n", quiet.median, quiet.p99,
                quiet.count, quiet.missing);
    std::printf("LOD under flood:  median %7.2f ms  p99 %7.2f ms  (%ld answers, %ld missing)\n", loaded.median,
                loaded.p99, loaded.count, loaded.missing);
    const double dm = loaded.median - quiet.median, dp = loaded.p99 - quiet.p99;
    std::printf("  median +%.2f ms (limit +20) %s;  p99 +%.2f ms (limit +100) %s;  missing %s\n", dm,
                dm <= 20 ? "OK" : "OVER", dp, dp <= 100 ? "OK" : "OVER", loaded.missing ? "OVER" : "OK");
    long total = 0;
    std::printf("GETs answered:");
    for (const auto& [status, n] : flood.statuses) {
        std::printf("  %s %ld", status ? QByteArray::number(status).constData() : "none", n);
        total += n;
    }
    std::printf("  (%.0f a second)\nserver CPU during the flood: %.0f%% of one core; its peak resident memory %s\n",
                double(total) / seconds, cpu * 100, peak.constData());
    FolderSync(folder);
    return loaded.missing || dm > 20 || dp > 100 ? 2 : 0;
}
