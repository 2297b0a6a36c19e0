#pragma once
// A station in a throw-away shop: program folder, send, receive and trash
// folders, a scripted panel, and listening on a port the system picks.
#include "link/frames.h"
#include "link/stationprobe.h"
#include "operations/operations.h"
#include "support/scriptedpanel.h"
#include "support/testhome.h"
#include "support/wait.h"
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <deque>

struct Shop {
    TestHome home;
    ScriptedPanel panel;
    QList<Job> jobs;  // every change the station told of, in order
    Station station;
    QString send, rec, trash;

    explicit Shop(SerialPort* port = nullptr, qint16 typ = 0) : station(panel, port) {
        send = home.file(QStringLiteral("ncprog"));
        rec = home.file(QStringLiteral("ncprog/mottaget"));
        trash = home.file(QStringLiteral("ncprog/papperskorg"));
        for (const QString& d : {send, rec, trash}) QDir().mkpath(d);
        machine([&](MachineSettings& m) {
            m.Typ = typ; m.IP = QStringLiteral("127.0.0.1"); m.Extension = QStringLiteral("NC");
            m.SendPath = send; m.RecPath = rec; m.Deleted = trash;
        });
        GeneralSettings g;
        g.ListenPort = 0;
        g.ListenAddress = QStringLiteral("127.0.0.1");
        station.ApplyGeneralSettings(g);
        EXPECT_TRUE(station.StartListening());
        panel.tree = send;
        QObject::connect(&station.jobs(), &JobQueue::changed, [this](const Job& j) { jobs.append(j); });
    }

    // Changes the general settings in force (GeneralTimeout: the operations' time-out).
    template <class F>
    void settings(F change) {
        GeneralSettings g = station.general();
        change(g);
        station.ApplyGeneralSettings(g);
    }
    // Changes the machine's settings, as if its settings file said so.
    void machine(const std::function<void(MachineSettings&)>& change) {
        MachineSettings m = station.machine();
        change(m);
        station.SetMachine(m);
    }
    // The log is UTF-8; the tests look for its lines as Latin-1 bytes.
    QByteArray log() const { return QString::fromUtf8(home.read(QStringLiteral("fenmo32.log"))).toLatin1(); }
    QByteArray file(const QString& relative) const { return home.read(QStringLiteral("ncprog/") + relative); }
};

// The machine's way of closing a message: line end, then the checksum of
// everything before the final LF, then "%".
inline QByteArray MachineClose(const QByteArray& text, bool crlf = true) {
    const QByteArray beforeLf = crlf ? text + '\r' : text;
    return beforeLf + '\n' + CalcChecksum(beforeLf) + '%';
}

// A machine's request (or, as "R", its answer) closed the machine's way.
inline QByteArray Request(const char* command, const char* name, const QByteArray& body = {}, const char* selector = "",
                          const char* kind = "C") {
    QByteArray m = BuildFrame(kind, command, selector, name, "00");
    if (!body.isEmpty()) m += "\r\n" + body;
    return MachineClose(m);
}
// The same message with its last checksum digit changed.
inline QByteArray Corrupt(QByteArray m) {
    m[m.size() - 2] = m[m.size() - 2] == '9' ? '8' : '9';
    return m;
}

// The PC's way (EOB 0), for expected bytes.
inline QByteArray PcClose(QByteArray text, int eob = 0) { return AddChecksum(text, eob); }

// One TCP end that collects what arrives until a message ends with "%".
class Peer : public QObject {
public:
    QTcpSocket* socket = nullptr;
    QByteArray got;

    void attach(QTcpSocket* s) {
        socket = s;
        QObject::connect(s, &QTcpSocket::readyRead, this, [this] { got += socket->readAll(); });
    }
    // Connects to the port on loopback, from a loopback address of its own when given.
    bool connectTo(quint16 port, const char* from = nullptr) {
        attach(new QTcpSocket(this));
        if (from && !socket->bind(QHostAddress(QString::fromLatin1(from)))) return false;
        socket->connectToHost(QStringLiteral("127.0.0.1"), port);
        return WaitUntil([this] { return socket->state() == QAbstractSocket::ConnectedState; });
    }
    // Sends a message and waits for the answer, or for the connection to close.
    QByteArray ask(const QByteArray& message) {
        got.clear();
        socket->write(message);
        WaitUntil([this] { return got.endsWith('%') || socket->state() == QAbstractSocket::UnconnectedState; });
        return got;
    }
};

// The machine's end of the PC's own connection: each accepted connection
// follows a script of steps, each run once its condition holds (looked at on
// every arrival and every few milliseconds, since operations wait inside).
// Without read it takes nothing in, and so holds the PC's send up.
class ScriptedMachine : public QObject {
public:
    QTcpServer server;
    QTcpSocket* conn = nullptr;
    QByteArray got;
    bool read = true;
    struct Step {
        std::function<bool()> when;
        std::function<void()> then;
    };
    std::deque<Step> steps;

    explicit ScriptedMachine(Shop& shop) {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        shop.machine([this](MachineSettings& m) { m.Port = QString::number(server.serverPort()); });
        connect(&server, &QTcpServer::newConnection, this, [this] {
            conn = server.nextPendingConnection();
            if (!read) conn->setReadBufferSize(64 * 1024);
            got.clear();
            connect(conn, &QTcpSocket::readyRead, this, [this, c = conn] {
                if (!read) return;
                got += c->readAll();
                run();
            });
        });
        connect(&tick_, &QTimer::timeout, this, [this] { run(); });
        tick_.start(2);
    }
    bool requestDone() const { return got.endsWith('%'); }
    void run() {
        while (!steps.empty() && steps.front().when()) {
            const Step s = steps.front();
            steps.pop_front();
            s.then();
        }
    }
    // Reads again, what waited first.
    void drain() {
        read = true;
        if (conn) got += conn->readAll();
        WaitUntil([this] { return !conn || conn->bytesAvailable() == 0; }, 200);
    }

private:
    QTimer tick_;
};

#ifdef Q_OS_LINUX
// A line of /proc/self/status in kB.
inline qint64 StatusKb(const char* key) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLongLong();
    return -1;
}
// AddressSanitizer keeps freed memory resident up to its quarantine (8 MB
// under make test-asan): memory bounds allow for it.
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 kSanitizerSlackKb = 8 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr qint64 kSanitizerSlackKb = 8 * 1024;
#else
constexpr qint64 kSanitizerSlackKb = 0;
#endif
#else
constexpr qint64 kSanitizerSlackKb = 0;
#endif
// The peak resident size back to the present one; returns that size in kB.
inline qint64 ResetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    EXPECT_TRUE(clear.open(QIODevice::WriteOnly) && clear.write("5") == 1);
    clear.close();
    return StatusKb("VmRSS:");
}
#endif
