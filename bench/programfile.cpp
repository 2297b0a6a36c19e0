// Program files: reading and writing a 100 MB program against a plain copy,
// and reading the comments of 10,000 files against reading their first bytes.
#include "library/programfile.h"

#include <QDir>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Best(int runs, const std::function<void()>& work) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) best = std::min(best, Seconds(work));
    return best;
}

long StatusKb(const char* key) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long value = -1;
    const size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, n) == 0) value = std::atol(line + n);
    std::fclose(f);
    return value;
}

// Peak memory that work adds, in kB, measured in a child process so that
// nothing the parent has touched hides it.
long PeakKb(const std::function<void()>& work) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        FILE* clear = std::fopen("/proc/self/clear_refs", "w");
        if (clear) {
            std::fputs("5", clear);  // peak := current
            std::fclose(clear);
        }
        const long before = StatusKb("VmRSS:");
        work();
        const long peak = StatusKb("VmHWM:");
        const long delta = peak - before;
        if (write(fds[1], &delta, sizeof delta) != sizeof delta) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    long delta = -1;
    if (read(fds[0], &delta, sizeof delta) != sizeof delta) delta = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return delta;
}

void PlainCopy(const std::string& from, const std::string& to, bool sync) {
    FILE* in = std::fopen(from.c_str(), "rb");
    FILE* out = std::fopen(to.c_str(), "wb");
    std::vector<char> buffer(1 << 20);
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) std::fwrite(buffer.data(), 1, n, out);
    std::fclose(in);
    std::fflush(out);
    if (sync) fsync(fileno(out));
    std::fclose(out);
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

const char* Verdict(double value, double target) { return value <= target ? "OK" : "OVER"; }

void BigProgram(const std::string& dir) {
    const std::string src = dir + "/BIG.TC";
    std::string bytes = "(BENCH)%\r\n";
    bytes.reserve(101 << 20);
    char line[64];
    for (long i = 0; bytes.size() < (100u << 20); ++i) {
        std::snprintf(line, sizeof line, "N%07ld G01 X%ld.123 Y-%ld.456 F500\r\n", i, i % 1000, i % 777);
        bytes += line;
    }
    bytes += "%";
    WriteBytes(src, bytes);
    const double mb = bytes.size() / 1048576.0;
    bytes = std::string();

    const QString qsrc = QString::fromStdString(src);
    const QString qdst = QString::fromStdString(dir + "/OUT.TC");
    const std::string copy = dir + "/COPY.TC";
    auto program = [&] {
        const QByteArray text = ReadProgramFile(qsrc);
        if (!WriteProgramFile(text, qdst, QStringLiteral("BENCH")).ok) std::puts("write failed");
    };
    PlainCopy(src, copy, false);  // warm the cache
    const double plain = Best(3, [&] { PlainCopy(src, copy, false); });
    // The program file is made durable before it replaces the old one, so the
    // fair baseline syncs too.
    const double base = Best(3, [&] { PlainCopy(src, copy, true); });
    const double ours = Best(3, program);
    const long baseKb = PeakKb([&] { PlainCopy(src, copy, true); });
    const long oursKb = PeakKb(program);
    const double sizeKb = mb * 1024;

    std::printf("100 MB program (%.1f MB)\n", mb);
    std::printf("  plain copy (fread/fwrite)             %8.3f s\n", plain);
    std::printf("  plain copy (fread/fwrite + fsync)     %8.3f s   peak +%ld kB\n", base, baseKb);
    std::printf("  ReadProgramFile + WriteProgramFile    %8.3f s   peak +%ld kB\n", ours, oursKb);
    std::printf("  time ratio   %.2fx against the synced copy (target <= 3x) %s; %.2fx against the unsynced\n",
                ours / base, Verdict(ours / base, 3), ours / plain);
    std::printf("  memory ratio %.2fx file size (target <= 3x) %s\n", oursKb / sizeKb,
                Verdict(oursKb / sizeKb, 3));
    QFile::remove(qsrc);
    QFile::remove(qdst);
    std::remove(copy.c_str());
}

void ManyComments(const std::string& dir) {
    constexpr int kFiles = 10000;
    std::vector<std::string> paths;
    QStringList qpaths;
    std::string body;
    for (int i = 0; body.size() < 100 * 1024; ++i) body += "N" + std::to_string(i) + " G01 X1.0 Y2.0\r\n";
    body.resize(100 * 1024 - 1);
    body += "%";
    char head[80];
    for (int i = 0; i < kFiles; ++i) {
        const std::string path = dir + "/O" + std::to_string(10000 + i) + ".TC";
        std::snprintf(head, sizeof head, "(FILKOMMENTAR %d)%%O%d(AXEL %d)\r\n", i, 10000 + i, i);
        WriteBytes(path, head + body.substr(std::strlen(head)));
        paths.push_back(path);
        qpaths.append(QString::fromStdString(path));
    }

    long sink = 0;
    auto plainFopen = [&] {
        char buf[256];
        for (const auto& p : paths) {
            FILE* f = std::fopen(p.c_str(), "rb");
            sink += static_cast<long>(std::fread(buf, 1, sizeof buf, f));
            std::fclose(f);
        }
    };
    auto plainStream = [&] {
        char buf[256];
        for (const auto& p : paths) {
            std::ifstream f(p, std::ios::binary);
            f.read(buf, sizeof buf);
            sink += f.gcount();
        }
    };
    auto both = [&] {
        for (const auto& p : qpaths) sink += ProgramComment(p).size() + FileComment(p).size();
    };
    auto once = [&] {
        for (const auto& p : qpaths) sink += ReadComments(p).file.size();
    };
    plainFopen();  // warm the cache
    both();
    const double fopenTime = Best(3, plainFopen);
    const double streamTime = Best(3, plainStream);
    const double bothTime = Best(3, both);
    const double onceTime = Best(3, once);
    const double base = std::min(fopenTime, streamTime);

    std::printf("Comments of %d files of 100 KB\n", kFiles);
    std::printf("  fopen + 256 bytes                     %8.3f s\n", fopenTime);
    std::printf("  ifstream + 256 bytes                  %8.3f s\n", streamTime);
    std::printf("  ProgramComment + FileComment          %8.3f s\n", bothTime);
    std::printf("  ReadComments (one opening)            %8.3f s\n", onceTime);
    std::printf("  ratio against the faster plain read %.2fx (target <= 2x) %s\n", bothTime / base,
                Verdict(bothTime / base, 2));
    std::printf("  (ReadComments %.2fx)\n", onceTime / base);
    if (sink == 42) std::puts("");
    for (const auto& p : paths) std::remove(p.c_str());
}

}  // namespace

int main() {
    char pattern[] = "/tmp/fenmo-bench-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir) {
        std::perror("mkdtemp");
        return 0;
    }
    const auto start = Clock::now();
    BigProgram(dir);
    ManyComments(dir);
    QDir(QString::fromLocal8Bit(dir)).removeRecursively();
    std::printf("total %.1f s\n", std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}
