#include "common/log.h"
#include <QFileInfo>
#include "common/ansi.h"
#include "common/dates.h"
#include "common/fileerror.h"
#include "common/home.h"
#include "common/notify.h"
#include <QDir>
#include <QFile>
#include <QSet>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

void AppendToFile(const QString& path, const QByteArray& bytes) {
#ifdef Q_OS_UNIX
    // Plain calls: QFile's open costs more than the line, and the log is
    // written at every step of every machine. A file that cannot be opened
    // goes the QFile way below, which names the error.
    // The group reads the log, only the program writes it: made 0640, and a
    // file of ours that the group could write loses that once a run.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd >= 0) {
        static QSet<QString> checked;
        static std::mutex guard;
        std::unique_lock lock(guard);
        if (!checked.contains(path)) {
            checked.insert(path);
            lock.unlock();
            struct stat st{};
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                (st.st_mode & (S_IWGRP | S_IWOTH)))
                (void)::fchmod(fd, st.st_mode & 07777 & ~(S_IWGRP | S_IWOTH));
        }
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int code = n < 0 ? errno : ENOSPC;
                ::close(fd);
                if (code == ENOSPC || code == EDQUOT) throw AppError(Err::DiskFull);
                throw AppError(code == EACCES || code == EPERM || code == EROFS ? Err::PermissionDenied : Err::DeviceIO);
            }
            done += n;
        }
        ::close(fd);
        return;
    }
#endif
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) throw FileError(f, path);
    if (f.write(bytes) != bytes.size() || !f.flush()) {
        const AppError e = FileError(f, path);
        f.close();
        throw e;
    }
    f.close();
}

namespace {
constexpr char kHex[] = "0123456789ABCDEF";

// Logs that failed since their last good write; each is told once.
QSet<QString>& Failing() {
    static QSet<QString> failing;
    return failing;
}

// A log is a by-product: a line that cannot be written must not stop a
// start-up, a transfer or a store. The operator hears of it once, and again
// only if the file fails anew after it has worked in between.
qint64& LogLimit() {
    static qint64 limit = 0;
    return limit;
}

// A log past the limit becomes its ".1" file (one generation is kept) and
// starts afresh: a server that runs for months never fills the disk.
void RollOver(const QString& path) {
    const QFileInfo info(path);
    if (LogLimit() <= 0 || info.size() < LogLimit()) return;
    const QString older = info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".1.") + info.suffix();
    QFile::remove(older);
    QFile::rename(path, older);
}

void AppendToLog(const QString& path, const QByteArray& bytes) {
    try {
        RollOver(path);
        AppendToFile(path, bytes);
        if (!Failing().isEmpty()) Failing().remove(path);
    } catch (const AppError& e) {
        if (Failing().contains(path)) return;
        Failing().insert(path);  // before the message: its dialog may run events that log
        ShowMessage(QStringLiteral("Loggfilen kan inte skrivas (") + QDir::toNativeSeparators(path) +
                        QStringLiteral("): ") + e.description() +
                        QStringLiteral(". Programmet fortsätter utan logg."),
                    AppTitle(), MsgIcon::Exclamation);
    }
}
}  // namespace

void SetLogLimit(qint64 bytes) { LogLimit() = bytes; }

void RollLog(const QString& path) { RollOver(path); }

namespace {
bool& ToStderr() {
    static bool on = false;
    return on;
}
}  // namespace

void SetLogToStderr(bool on) { ToStderr() = on; }

QString EscapeControls(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        // C1 codes too: some viewers break lines at U+0085.
        if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
            out += QLatin1Char('<');
            out += QLatin1Char(kHex[(u >> 4) & 15]);
            out += QLatin1Char(kHex[u & 15]);
            out += QLatin1Char('>');
        } else {
            out += ch;
        }
    }
    return out;
}

void AddLog(const QString& text) {
    if (ToStderr()) {
        // One write a line: lines of several threads never interleave.
        const QByteArray line = EscapeControls(text).toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    }
    // Whatever a caller passes, one event stays one line behind its date. The
    // text is in the locale's encoding (UTF-8 on Linux, the ANSI code page on
    // Windows), so that tail and Notepad show it as written.
    AppendToLog(InProgramFolder(QStringLiteral("fenmo32.log")),
                (GeneralDateNow() + QStringLiteral(" - ") + EscapeControls(text)).toLocal8Bit() + "\r\n");
}

void AddHexLog(const QByteArray& data, const QString& fileName, int mode) {
    QByteArray out;
    // The time line, then an empty line before the dump.
    if (mode == 3) out += GeneralDateNow().toLocal8Bit() + "\r\n\r\n";
    out += HexDump(data, mode);
    out += "\r\n";
    AppendToLog(InProgramFolder(fileName), out);
}

namespace {
// Writes the offset in upper-case hex, at least five digits.
char* PutOffset(char* d, qsizetype offset) {
    char buf[20];
    int n = 0;
    do {
        buf[n++] = kHex[offset & 15];
        offset >>= 4;
    } while (offset);
    while (n < 5) buf[n++] = '0';
    while (n) *d++ = buf[--n];
    return d;
}

char* PutLine(char* d, qsizetype offset, const char* hex, int hexLen, const char* chars, int charLen) {
    d = PutOffset(d, offset);
    *d++ = ' '; *d++ = '|'; *d++ = ' ';
    std::memcpy(d, hex, hexLen);
    d += hexLen;
    for (int i = hexLen; i < 50; ++i) *d++ = ' ';
    *d++ = ' '; *d++ = '|'; *d++ = ' ';
    std::memcpy(d, chars, charLen);
    d += charLen;
    for (int i = charLen; i < 16; ++i) *d++ = ' ';
    return d;
}
}  // namespace

QByteArray HexDump(const QByteArray& data, int mode) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const qsizetype n = data.size();
    QByteArray out;
    if (mode == 3) {
        // 77 characters a line and CR LF after each full one, plus offsets past five digits.
        const qsizetype lines = (n + 15) / 16;
        qsizetype size = lines * 77 + (n / 16) * 2;
        for (qsizetype from = 0x100000; from < n; from *= 16) size += (n - from + 15) / 16;
        out.resize(size);
        char* d = out.data();
        char hex[50];
        char chars[16];
        for (qsizetype lineStart = 0; lineStart < n; lineStart += 16) {
            const int count = static_cast<int>(std::min<qsizetype>(16, n - lineStart));
            int h = 0;
            for (int i = 0; i < count; ++i) {
                const unsigned char b = bytes[lineStart + i];
                hex[h++] = kHex[b >> 4];
                hex[h++] = kHex[b & 15];
                hex[h++] = ' ';
                if (i == 7) { hex[h++] = '-'; hex[h++] = ' '; }
                chars[i] = b >= 33 ? static_cast<char>(b) : '.';
            }
            if (count == 16) {
                d = PutLine(d, lineStart, hex, h, chars, count);
                *d++ = '\r';
                *d++ = '\n';
            } else {
                d = PutLine(d, lineStart, hex, h, chars, count);  // the last, short line has no line end
            }
        }
        out.truncate(d - out.constData());
        return out;
    }
    // Mode 2: "HH " per byte, CR LF after every 31st.
    out.resize(n * 3 + (n / 31) * 2);
    char* d = out.data();
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char b = bytes[i];
        *d++ = kHex[b >> 4];
        *d++ = kHex[b & 15];
        *d++ = ' ';
        if ((i + 1) % 31 == 0) { *d++ = '\r'; *d++ = '\n'; }
    }
    return out;
}

QString ZeroPad(const QString& text, int width) {
    return text.size() >= width ? text : QString(width - text.size(), QLatin1Char('0')) + text;
}

QString BlankPad(const QString& text, int width) {
    return text.size() >= width ? text : QString(width - text.size(), QLatin1Char(' ')) + text;
}
