#pragma once
// The shop server benchmark's machine: it stores a program and loads it back
// in a loop, over a socket or its end of an in-memory serial line, and checks
// every answer byte for byte.
#include "link/frames.h"
#include "link/memoryserialport.h"
#include "link/serialport.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace bench {

constexpr const char* kLine = "115200,e,7,1";
constexpr int kAnswerTimeoutMs = 60000;      // an answer not complete by then is lost
constexpr qint64 kSocketWindow = 64 * 1024;  // bytes a machine keeps queued on its socket
constexpr int kQuietMs = 3000;              // a serial line quiet this long after a lost answer is free again

inline double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A message as pieces (the program body is shared by every machine of a link).
struct Pieces {
    QByteArray part[3];
    qint64 size() const { return part[0].size() + part[1].size() + part[2].size(); }
    // Bytes [from, from + n).
    QByteArray slice(qint64 from, qint64 n) const {
        QByteArray out;
        out.reserve(n);
        for (const QByteArray& p : part) {
            if (n <= 0) break;
            if (from >= p.size()) {
                from -= p.size();
                continue;
            }
            const qint64 k = std::min<qint64>(n, p.size() - from);
            out.append(p.constData() + from, k);
            n -= k;
            from = 0;
        }
        return out;
    }
    // data equals bytes [from, from + n).
    bool matches(qint64 from, const char* data, qint64 n) const {
        for (const QByteArray& p : part) {
            if (n <= 0) break;
            if (from >= p.size()) {
                from -= p.size();
                continue;
            }
            const qint64 k = std::min<qint64>(n, p.size() - from);
            if (std::memcmp(p.constData() + from, data, size_t(k)) != 0) return false;
            data += k;
            n -= k;
            from = 0;
        }
        return n == 0;
    }
};

// head + line end + body closed by closer (the machine's or the PC's way),
// kept as head + line end, body, closing.
inline Pieces Framed(const QByteArray& head, const QByteArray& lineEnd, const QByteArray& body,
                     const std::function<QByteArray(QByteArray)>& closer) {
    const QByteArray opening = head + lineEnd;
    const QByteArray whole = closer(opening + body);
    return Pieces{{opening, body, whole.mid(opening.size() + body.size())}};
}

inline QByteArray MachineClose(const QByteArray& text) {
    const QByteArray beforeLf = text + '\r';
    return beforeLf + '\n' + CalcChecksum(beforeLf) + '%';
}

inline QByteArray PcClose(QByteArray text) { return AddChecksum(text, 0); }

struct Counts {
    qint64 requests = 0, ok = 0, mismatched = 0, lost = 0;
    double longest = 0;  // seconds from a request's start to its whole answer, at most
    qint64 stray = 0;  // bytes that came with no request open (the rest of a lost answer)
    qint64 programBytes = 0;  // program bytes moved by requests answered in time
};

// One machine: its requests to the PC, store then load, one at a time.
class BenchMachine : public QObject {
public:
    Counts counts;
    double deadline = 0;                 // requests answered after it do not count their bytes
    std::function<void()> stoppedHook;   // the machine has stopped
    // serial: characters on the line while counting, counted where they leave
    // (the server's end of the line is on the serial thread)
    std::atomic<qint64> lineChars{0};
    std::atomic<bool> countingLine{false};

    // serial: the PC's answer to a load ends its header line with LF alone
    // on a serial line (CR LF on TCP).
    BenchMachine(const QByteArray& name, const QByteArray& body, bool serial)
        : bodySize_(body.size()), timeout_(this), quiet_(this) {
        save_ = Framed(BuildFrame("C", "SAV", "", name, "00"), "\r\n", body, MachineClose);
        saveAnswer_ = Pieces{{PcClose(BuildFrame("R", "SAV", "", name, "00")), {}, {}}};
        load_ = Pieces{{MachineClose(BuildFrame("C", "LOD", "", name, "00")), {}, {}}};
        loadAnswer_ = Framed(BuildFrame("R", "LOD", "", name, "00"), serial ? "\n" : "\r\n", body, PcClose);
        timeout_.setSingleShot(true);
        timeout_.setInterval(kAnswerTimeoutMs);
        connect(&timeout_, &QTimer::timeout, this, [this] { lostAnswer(); });
        quiet_.setSingleShot(true);
        quiet_.setInterval(kQuietMs);
        connect(&quiet_, &QTimer::timeout, this, [this] { next(); });
    }

    // A network machine: connects from address to the server's port.
    void connectFrom(const QHostAddress& address, quint16 port) {
        address_ = address;
        port_ = port;
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::readyRead, this, [this] { received(socket_->readAll()); });
        connect(socket_, &QTcpSocket::bytesWritten, this, [this] { pump(); });
        connect(socket_, &QTcpSocket::connected, this, [this] {
            connected_ = true;
            if (reconnecting_) {
                reconnecting_ = false;
                next();
            }
        });
        dial();
    }
    bool connected() const { return connected_; }

    // A serial machine on the far end of pc (wired back to back, opened).
    void attach(MemorySerialPort* pc) {
        pc_ = pc;
        serial_ = std::make_unique<MemorySerialPort>();
        serial_->setSettings(QString::fromLatin1(kLine));
        serial_->setInstant(false);
        ConnectBackToBack(*pc, *serial_);
        serial_->open();
        connect(serial_.get(), &SerialPort::commEvent, this, [this](int code) {
            if (code == SerialPort::EvReceive) received(serial_->readAll());
        });
        auto count = [this](const QByteArray& bytes) {
            if (countingLine) lineChars += bytes.size();
        };
        connect(serial_.get(), &MemorySerialPort::transmitted, this, count, Qt::DirectConnection);
        connect(pc, &MemorySerialPort::transmitted, this, count, Qt::DirectConnection);
    }

    // The machine and its end of the line to thread t.
    void moveAll(QThread* t) {
        moveToThread(t);
        if (serial_) serial_->moveToThread(t);
    }

    void start() {
        stopping_ = false;
        running_ = true;
        saving_ = true;
        next();
    }
    // Stops after the request under way.
    void stop() {
        stopping_ = true;
        if (!inFlight_ && !reconnecting_) halt();
    }
    bool running() const { return running_; }

private:
    void dial() {
        connected_ = false;
        socket_->bind(address_);
        socket_->connectToHost(QHostAddress::LocalHost, port_);
    }
    void halt() {
        running_ = false;
        if (stoppedHook) stoppedHook();
    }
    void next() {
        reconnecting_ = false;
        if (stopping_) {
            halt();
            return;
        }
        ++counts.requests;
        inFlight_ = true;
        out_ = saving_ ? &save_ : &load_;
        expect_ = saving_ ? &saveAnswer_ : &loadAnswer_;
        written_ = got_ = 0;
        bad_ = false;
        began_ = Now();
        timeout_.start();
        pump();
    }
    // Hands the request to the link: a serial port takes it whole (it paces
    // the line itself), a socket a window at a time.
    void pump() {
        if (!inFlight_ || !out_) return;
        if (serial_) {
            serial_->write(out_->slice(written_, out_->size() - written_));
            written_ = out_->size();
            return;
        }
        while (written_ < out_->size() && socket_->bytesToWrite() < kSocketWindow) {
            const qint64 n = std::min(kSocketWindow, out_->size() - written_);
            socket_->write(out_->slice(written_, n));
            written_ += n;
        }
    }
    void received(const QByteArray& data) {
        if (data.isEmpty()) return;
        if (!inFlight_) {
            counts.stray += data.size();
            if (quiet_.isActive()) quiet_.start();  // still coming: wait on
            return;
        }
        if (debug_) seen_ += data;
        const qint64 n = data.size();
        const qint64 wanted = expect_->size() - got_;
        if (!bad_ && (n > wanted || !expect_->matches(got_, data.constData(), n))) bad_ = true;
        got_ += n;
        if (got_ >= expect_->size() || (bad_ && data.endsWith('%'))) answered(!bad_ && got_ == expect_->size());
    }
    void answered(bool exact) {
        timeout_.stop();
        counts.longest = std::max(counts.longest, Now() - began_);
        inFlight_ = false;
        out_ = nullptr;
        if (exact) {
            ++counts.ok;
            if (Now() <= deadline) counts.programBytes += bodySize_;
        } else {
            ++counts.mismatched;
            if (debug_) {
                const QByteArray want = expect_->slice(0, expect_->size());
                qsizetype i = 0;
                while (i < want.size() && i < seen_.size() && want[i] == seen_[i]) ++i;
                fprintf(stderr, "MISMATCH %s got %lld want %lld first diff %lld: got [%s] want [%s]\n", saving_ ? "SAV" : "LOD",
                        (long long)seen_.size(), (long long)want.size(), (long long)i,
                        seen_.mid(std::max<qsizetype>(0, i - 20), 60).toPercentEncoding().constData(),
                        want.mid(std::max<qsizetype>(0, i - 20), 60).toPercentEncoding().constData());
            }
        }
        seen_.clear();
        if (serial_) {  // the ports keep everything sent for tests; not wanted here
            serial_->clearTransmitted();
            pc_->clearTransmitted();
        }
        saving_ = !saving_;
        next();
    }
    void lostAnswer() {
        ++counts.lost;
        inFlight_ = false;
        out_ = nullptr;
        saving_ = true;
        if (socket_) {  // what is still under way on the connection is no use: a new one
            socket_->abort();
            reconnecting_ = true;
            dial();
            return;
        }
        // The rest of the answer may still come: the next request once the line is quiet.
        reconnecting_ = true;
        quiet_.start();
    }

    qint64 bodySize_;
    Pieces save_, saveAnswer_, load_, loadAnswer_;
    QTcpSocket* socket_ = nullptr;
    QHostAddress address_;
    quint16 port_ = 0;
    std::unique_ptr<MemorySerialPort> serial_;
    MemorySerialPort* pc_ = nullptr;
    QTimer timeout_, quiet_;
    bool running_ = false, stopping_ = false, inFlight_ = false, saving_ = true, reconnecting_ = false;
    const Pieces* out_ = nullptr;
    const Pieces* expect_ = nullptr;
    qint64 written_ = 0, got_ = 0;
    double began_ = 0;
    bool bad_ = false;
    std::atomic<bool> connected_{false};  // read from the server's thread
    bool debug_ = getenv("BENCH_DEBUG") != nullptr;
    QByteArray seen_;
};

}  // namespace bench
