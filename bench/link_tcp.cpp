// Protocol 2 over TCP: a 50 MB program sent to and fetched from the simulated
// machine (machine-sim, a process of its own) and a lean protocol-2 peer,
// against a plain copy of the same bytes between two processes on loopback,
// file to socket to file.
//
// Every measured case runs in a fresh process (this program started again
// with a mode argument) so that its peak memory is its own. Targets: at most
// 1.5x the plain copy's time with the lean peer, 2x with machine-sim; the
// station's peak memory growth at most 64 MB whatever the program's size.
// With BENCH_1GB=1 in the environment the same cases also run with a 1 GB
// program (one run each; several minutes and about 3 GB of disk).
#include "benchutil.h"
#include "linkbench.h"
#include "link/frames.h"
#include "loopback.h"

#include <QCoro/QCoroTask>
#include <QCoreApplication>
#include <QTcpSocket>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::ConnectLoopback;
using bench::ListenLoopback;
using bench::WriteAll;

constexpr qint64 kProgramSize = 50LL * 1024 * 1024;
constexpr qint64 kLargeSize = 1024LL * 1024 * 1024;
constexpr int kRuns = 2;
constexpr double kLeanLimit = 1.5;
constexpr double kSimLimit = 2.0;
constexpr double kMemoryLimitMb = 64.0;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Result(double seconds, long long growth, bool ok, const std::string& detail) {
    std::printf("RESULT %.6f %lld %s %s\n", seconds, growth, ok ? "ok" : "FAILED", detail.c_str());
    std::fflush(stdout);
}

// --- The plain copy -----------------------------------------------------------

// File to socket (64 KB at a time), as far as the file goes.
bool Pump(int from, int to) {
    std::vector<char> buf(64 * 1024);
    for (;;) {
        const ssize_t r = ::read(from, buf.data(), buf.size());
        if (r < 0) return false;
        if (r == 0) return true;
        if (!WriteAll(to, buf.data(), static_cast<size_t>(r))) return false;
    }
}

// Stores everything until the far end closes, as durably as the station and
// the machine store a program (written out and synced).
bool Store(int from, const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool ok = Pump(from, fd) && ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// raw-send: this process sends the file; the far end (a forked process) stores
// it and answers two bytes. raw-fetch: this process asks with a short line,
// the far end sends the file, this process stores it.
int RunRaw(bool send, const std::string& work) {
    const std::string program = work + "/program.nc";
    const std::string received = work + (send ? "/raw-machine.nc" : "/raw-station.nc");
    quint16 port = 0;
    const int listener = ListenLoopback(&port);
    if (listener < 0) {
        Result(0, 0, false, "no listening socket");
        return 0;
    }
    const pid_t far = ::fork();
    if (far == 0) {
        const int c = ::accept(listener, nullptr, nullptr);
        bool ok = c >= 0;
        if (ok && send) {
            ok = Store(c, received);
            ok = WriteAll(c, ok ? "00" : "07", 2) && ok;
        } else if (ok) {
            char request[64];
            ok = ::read(c, request, sizeof request) > 0;
            const int fd = ::open(program.c_str(), O_RDONLY);
            ok = ok && fd >= 0 && Pump(fd, c);
            if (fd >= 0) ::close(fd);
        }
        if (c >= 0) ::close(c);
        ::_exit(ok ? 0 : 1);
    }
    ::close(listener);

    const long long rss0 = bench::StatusBytes("VmRSS");
    bench::ResetPeakRss();
    const double t0 = Now();
    const int s = ConnectLoopback(port);
    bool ok = s >= 0;
    if (ok && send) {
        const int fd = ::open(program.c_str(), O_RDONLY);
        ok = fd >= 0 && Pump(fd, s);
        if (fd >= 0) ::close(fd);
        ::shutdown(s, SHUT_WR);
        char answer[2] = {};
        ok = ok && ::read(s, answer, 2) == 2 && answer[0] == '0' && answer[1] == '0';
    } else if (ok) {
        ok = WriteAll(s, "LOD\n", 4);
        ::shutdown(s, SHUT_WR);
        ok = Store(s, received) && ok;
    }
    const double seconds = Now() - t0;
    const long long growth = bench::StatusBytes("VmHWM") - rss0;
    if (s >= 0) ::close(s);
    int status = 0;
    ::waitpid(far, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const bench::Comparison c =
        bench::CompareFiles(QString::fromStdString(program), QString::fromStdString(received));
    Result(seconds, growth, ok && c.identical, bench::Describe(c));
    std::remove(received.c_str());
    return 0;
}

// --- A lean machine ---------------------------------------------------------------
// Protocol 2 with nothing else: no traffic log, the program streamed from and
// to its file (stored and synced as the machine does). Against it the
// station's own share of the time shows.

QByteArray Digits(quint32 sum) {
    QByteArray d(2, '0');
    d[0] = char('0' + (sum & 15u) / 10);
    d[1] = char('0' + (sum & 15u) % 10);
    return d;
}

quint32 ByteSum(const QByteArray& bytes) {
    quint32 s = 0;
    for (char c : bytes) s += static_cast<unsigned char>(c);
    return s;
}

// Reads one message (up to a closing "%") into a file, or nowhere.
bool ReadMessage(int from, int to) {
    std::vector<char> buf(64 * 1024);
    qint64 total = 0;
    for (;;) {
        const ssize_t r = ::read(from, buf.data(), buf.size());
        if (r <= 0) return false;
        if (to >= 0 && !WriteAll(to, buf.data(), static_cast<size_t>(r))) return false;
        total += r;
        if (total > 1 && buf[static_cast<size_t>(r) - 1] == '%') return true;
    }
}

// Forks the lean machine; returns its pid (the port in *port).
pid_t StartLeanMachine(bool send, const std::string& program, const std::string& stored, quint16* port) {
    const int listener = ListenLoopback(port);
    if (listener < 0) return -1;
    // The fetch answer's checksum: everything after the leading "%" up to the
    // CR before the final LF (worked out before the station asks).
    const QByteArray header = BuildFrame("R", "LOD", "", "O5678", "00") + "\r\n";
    quint32 sum = ByteSum(header.mid(1)) + '\r';
    if (!send) {
        const int fd = ::open(program.c_str(), O_RDONLY);
        std::vector<char> buf(1 << 20);
        for (ssize_t r; fd >= 0 && (r = ::read(fd, buf.data(), buf.size())) > 0;)
            for (ssize_t i = 0; i < r; ++i) sum += static_cast<unsigned char>(buf[static_cast<size_t>(i)]);
        if (fd >= 0) ::close(fd);
    }
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(listener);
        return pid;
    }
    const int c = ::accept(listener, nullptr, nullptr);
    bool ok = c >= 0;
    if (ok && send) {
        const int fd = ::open(stored.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ok = fd >= 0 && ReadMessage(c, fd) && ::fdatasync(fd) == 0;
        if (fd >= 0) ::close(fd);
        const QByteArray text = BuildFrame("R", "SAV", "", "O1234", ok ? "00" : "07") + "\r";
        const QByteArray answer = text + "\n" + CalcChecksum(text) + "%";
        ok = WriteAll(c, answer.constData(), static_cast<size_t>(answer.size())) && ok;
    } else if (ok) {
        ok = ReadMessage(c, -1);
        const int fd = ::open(program.c_str(), O_RDONLY);
        ok = ok && fd >= 0 && WriteAll(c, header.constData(), static_cast<size_t>(header.size())) && Pump(fd, c);
        if (fd >= 0) ::close(fd);
        const QByteArray tail = "\r\n" + Digits(sum) + "%";
        ok = ok && WriteAll(c, tail.constData(), static_cast<size_t>(tail.size()));
        char rest[256];
        while (ok && ::read(c, rest, sizeof rest) > 0) {  // until the station closes
        }
    }
    if (c >= 0) ::close(c);
    ::_exit(ok ? 0 : 1);
}

// --- The station ----------------------------------------------------------------

// The original's bytes at offset in the other file, read in pieces.
bool SameAt(const QString& original, const QString& other, qint64 offset) {
    QFile a(original), b(other);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || !b.seek(offset)) return false;
    while (!a.atEnd()) {
        const QByteArray x = a.read(1 << 20);
        if (b.read(x.size()) != x) return false;
    }
    return true;
}

int RunStation(bool send, bool lean, const std::string& workText, int argc, char** argv) {
    const std::string programText = workText + "/program.nc";
    const std::string leanStored = workText + "/lean-machine.msg";
    quint16 leanPort = 0;
    pid_t leanPid = -1;
    if (lean) {
        leanPid = StartLeanMachine(send, programText, leanStored, &leanPort);
        if (leanPid < 0) {
            Result(0, 0, false, "no lean machine");
            return 0;
        }
    }
    QCoreApplication app(argc, argv);
    const QString work = QString::fromStdString(workText);
    const QString program = work + QStringLiteral("/program.nc");
    const QString tag = send ? QStringLiteral("send") : QStringLiteral("fetch");
    const QString memory = work + QStringLiteral("/memory-") + tag;
    const QString home = work + QStringLiteral("/home-") + tag;
    QDir(memory).removeRecursively();
    QDir(home).removeRecursively();
    std::unique_ptr<bench::SimProcess> sim;
    if (!lean) {
        QDir().mkpath(memory);
        if (!send) QFile::copy(program, memory + QStringLiteral("/O5678"));
        sim = std::make_unique<bench::SimProcess>(memory);
        if (sim->port == 0) {
            Result(0, 0, false, "machine-sim did not start");
            return 0;
        }
    }
    bench::TcpStation s(home, lean ? leanPort : sim->port);
    Station& st = s.station;
    if (send) {
        QFile::copy(program, s.send + QStringLiteral("/O1234.NC"));
        s.panel.selectedLocal = {QStringLiteral("O1234.NC")};
    } else {
        s.panel.tree = s.rec;
        s.panel.selectedRemote = {QStringLiteral("O5678")};
    }
    const qint64 programSize = QFileInfo(program).size();
    // Where the time goes: the last byte handed to the socket (send), the
    // first and last bytes of the answer (fetch).
    const qint64 outgoing = programSize + 26;  // header, CR LF, program, CR LF, checksum, "%"
    // The station reads and parses inside its own readyRead slot, which runs
    // before this one: the end of the last slot but one is about when the
    // answer was in, the end of the last one when it was stored.
    qint64 written = 0;
    double firstWritten = 0, lastWritten = 0, firstData = 0, lastDataIn = 0, lastData = 0;
    QObject::connect(st.pcConnection(), &QTcpSocket::bytesWritten, [&](qint64 n) {
        if (firstWritten == 0) firstWritten = Now();
        written += n;
        if (written >= outgoing && lastWritten == 0) lastWritten = Now();
    });
    QObject::connect(st.pcConnection(), &QTcpSocket::readyRead, [&] {
        if (firstData == 0) firstData = Now();
        lastDataIn = lastData;
        lastData = Now();
    });
    bench::Settle(50);

    const long long rss0 = bench::StatusBytes("VmRSS");
    bench::ResetPeakRss();
    const double t0 = Now();
    if (send) QCoro::waitFor(cmdSend_Click(st, s.panel.send()));
    else QCoro::waitFor(cmdRec_Click(st, s.panel.fetch()));
    const double t1 = Now();
    const long long growth = bench::StatusBytes("VmHWM") - rss0;

    const bool done = st.transferDone() && !st.aborted() && s.errors.isEmpty();
    bool same = false;
    std::string detail;
    if (lean && send) {
        int status = 0;
        ::waitpid(leanPid, &status, 0);
        same = QFileInfo(QString::fromStdString(leanStored)).size() == programSize + 26 &&
               SameAt(program, QString::fromStdString(leanStored), 21);
        detail = same ? "message carries the program" : "message differs";
    } else {
        const bench::Comparison c = bench::CompareFiles(
            program, send ? memory + QStringLiteral("/O1234") : s.rec + QStringLiteral("/O5678.NC"));
        // The machine keeps the closing line end of the frame with the body;
        // the station must write exactly what the machine sent.
        same = send ? (c.identical || bench::OnlyLineEndsAfter(c)) : c.identical;
        detail = bench::Describe(c);
    }
    char timeline[160];
    if (send)
        std::snprintf(timeline, sizeof timeline, "; bytes to socket from %.3f s to %.3f s, answer at %.3f s",
                      firstWritten > 0 ? firstWritten - t0 : -1.0, lastWritten > 0 ? lastWritten - t0 : -1.0,
                      t1 - t0);
    else
        std::snprintf(timeline, sizeof timeline, "; answer from %.3f s to about %.3f s, stored at %.3f s",
                      firstData > 0 ? firstData - t0 : -1.0, lastDataIn > 0 ? lastDataIn - t0 : -1.0, t1 - t0);
    detail += timeline;
    if (!done) detail += " / station: " + s.panel.status().toStdString();
    Result(t1 - t0, growth, done && same, detail);
    if (lean) {
        st.pcConnection()->abort();
        int status = 0;
        ::waitpid(leanPid, &status, 0);
        std::remove(leanStored.c_str());
    }
    QDir(memory).removeRecursively();
    QDir(home).removeRecursively();
    return 0;
}

// --- The parent -------------------------------------------------------------------

struct Figures {
    double best = 1e100;
    long long peak = 0;
    bool ok = true;
    std::string detail;
    int runs = 0;
};

Figures Measure(const std::string& self, const std::string& mode, const std::string& work, int runs) {
    Figures f;
    for (int i = 0; i < runs; ++i) {
        const std::string command = "'" + self + "' " + mode + " '" + work + "'";
        FILE* p = ::popen(command.c_str(), "r");
        if (!p) {
            f.ok = false;
            continue;
        }
        char line[4096];
        bool got = false;
        while (std::fgets(line, sizeof line, p)) {
            double seconds = 0;
            long long growth = 0;
            char verdict[16] = {};
            int consumed = 0;
            if (std::sscanf(line, "RESULT %lf %lld %15s %n", &seconds, &growth, verdict, &consumed) >= 3) {
                got = true;
                ++f.runs;
                f.peak = std::max(f.peak, growth);
                if (std::string(verdict) != "ok") f.ok = false;
                if (seconds < f.best) {
                    f.detail = std::string(line + consumed);
                    while (!f.detail.empty() && (f.detail.back() == '\n' || f.detail.back() == '\r'))
                        f.detail.pop_back();
                }
                f.best = std::min(f.best, seconds);
            }
        }
        ::pclose(p);
        if (!got) f.ok = false;
    }
    return f;
}

// NC text of at least size bytes written in pieces, never held whole.
qint64 WriteProgram(const std::string& path, qint64 size) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return -1;
    constexpr qint64 kChunk = 64LL * 1024 * 1024;
    qint64 written = 0;
    for (unsigned seed = 12345; written < size; ++seed) {
        const QByteArray piece = bench::NcProgram(std::min(kChunk, size - written), seed);
        if (f.write(piece) != piece.size()) return -1;
        written += piece.size();
    }
    return written;
}

const char* const kModes[] = {"raw-send", "send", "send-lean", "raw-fetch", "fetch", "fetch-lean"};
using Table = std::map<std::string, Figures>;

// Every case with a program of size bytes, in its own folder below work.
bool MeasureSize(const std::string& self, const std::string& work, qint64 size, int runs, Table* f, qint64* actual) {
    const std::string dir = work + "/" + std::to_string(size);
    ::mkdir(dir.c_str(), 0700);
    *actual = WriteProgram(dir + "/program.nc", size);
    if (*actual < 0) {
        std::printf("link_tcp: cannot write the program\n");
        return false;
    }
    for (const char* mode : kModes) (*f)[mode] = Measure(self, mode, dir, runs);
    std::remove((dir + "/program.nc").c_str());
    ::rmdir(dir.c_str());

    const double bytes = static_cast<double>(*actual);
    std::printf("Program: %lld bytes of NC text (CR LF lines, no \"%%\"), %d run(s) per case, best time and "
                "largest memory\n",
                static_cast<long long>(*actual), runs);
    std::printf("%-11s %9s %8s %9s %6s  %s\n", "case", "seconds", "MB/s", "peak MB", "xsize", "result");
    for (const char* mode : kModes) {
        const Figures& x = (*f)[mode];
        std::printf("%-11s %9.4f %8.1f %9.1f %6.3f  %s%s\n", mode, x.best, bytes / x.best / 1e6, x.peak / 1048576.0,
                    x.peak / bytes, x.ok ? "" : "FAILED ", x.detail.c_str());
    }
    std::fflush(stdout);
    return true;
}

std::string SizeName(qint64 size) {
    return size >= 1024LL * 1024 * 1024 ? std::to_string(size >> 30) + " GB" : std::to_string(size >> 20) + " MB";
}

void ReportSize(qint64 size, Table& f) {
    const std::string n = SizeName(size);
    struct Line {
        const char* what;
        const char* mode;
        const char* raw;
        double limit;
    };
    const Line lines[] = {{"send, station + machine-sim", "send", "raw-send", kSimLimit},
                          {"fetch, station + machine-sim", "fetch", "raw-fetch", kSimLimit},
                          {"send, station + lean machine", "send-lean", "raw-send", kLeanLimit},
                          {"fetch, station + lean machine", "fetch-lean", "raw-fetch", kLeanLimit}};
    for (const Line& l : lines) {
        const std::string name = "TCP " + n + " " + l.what + " vs plain copy";
        bench::Report(name.c_str(), f[l.mode].best, f[l.raw].best, l.limit);
    }
    for (const bool send : {true, false}) {
        const char* a = send ? "send" : "fetch";
        const char* b = send ? "send-lean" : "fetch-lean";
        const std::string name = "TCP " + n + " " + a + ": station peak memory growth";
        const double peakMb = std::max(f[a].peak, f[b].peak) / 1048576.0;
        // Against a fixed bound: the "baseline" column shows the bound itself.
        bench::Report(name.c_str(), peakMb, kMemoryLimitMb, 1.0, "MB");
    }
    for (const char* mode : kModes)
        if (!f[mode].ok) std::printf("FAILED: %s %s (%s)\n", n.c_str(), mode, f[mode].detail.c_str());
}

int RunParent(const char* argv0) {
    char selfPath[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", selfPath, sizeof selfPath - 1);
    const std::string self = n > 0 ? std::string(selfPath, static_cast<size_t>(n)) : std::string(argv0);

    char pattern[] = "/tmp/bench_link_tcp.XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) {
        std::printf("link_tcp: no temporary folder\n");
        return 0;
    }
    const std::string work = dir;
    const char* large = std::getenv("BENCH_1GB");
    const bool withLarge = large && std::string(large) == "1";

    Table small, big;
    qint64 smallSize = 0, bigSize = 0;
    const bool smallOk = MeasureSize(self, work, kProgramSize, kRuns, &small, &smallSize);
    const bool bigOk = withLarge && MeasureSize(self, work, kLargeSize, 1, &big, &bigSize);
    std::printf("(send/fetch: machine-sim as the machine; *-lean: a minimal protocol-2 process without the\n"
                " simulator's traffic log, which leaves the station's own share; raw-*: the bytes file to\n"
                " socket to file between two plain processes; the raw and lean receivers sync their file)\n");
    if (smallOk) ReportSize(smallSize, small);
    if (bigOk) ReportSize(bigSize, big);
    else if (!withLarge) std::printf("(1 GB cases skipped: set BENCH_1GB=1 to run them)\n");
    ::rmdir(work.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3) {
        const std::string mode = argv[1];
        if (mode == "raw-send" || mode == "raw-fetch") return RunRaw(mode == "raw-send", argv[2]);
        if (mode == "send" || mode == "fetch") return RunStation(mode == "send", false, argv[2], argc, argv);
        if (mode == "send-lean" || mode == "fetch-lean")
            return RunStation(mode == "send-lean", true, argv[2], argc, argv);
        std::printf("link_tcp: unknown mode %s\n", mode.c_str());
        return 0;
    }
    return RunParent(argv[0]);
}
