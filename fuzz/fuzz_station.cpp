// The station fed any bytes as a machine sends them, in pieces: over the
// in-memory serial port (protocol 2 or 1) or a socket to its listening port.
// Input: the first byte picks the link and the piece size, the rest arrives.
// A first byte of 192 or more starts one of the PC's own exchanges first (a
// fetch, a comparison, a send, a send read back) and feeds the bytes as the
// machine's answers, on the PC's connection; the second byte is the piece size.
// Afterwards every time-out still running fires; then both links must be
// idle, no exchange open, and no file may exist outside the machine's
// folders, the history and the logs.
#include "common/errorreport.h"
#include "common/home.h"
#include "common/notify.h"
#include "link/memoryserialport.h"
#include "station/station.h"
#include "operations/operations.h"
#include "operations/comparison.h"
#include "link/machinestore.h"
#include "link/stationprobe.h"
#include "support/scriptedpanel.h"
#include <QTcpServer>
#include <QTimer>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <cstdio>
#include <utility>
#include <cstdlib>

namespace {
QTemporaryDir* sandbox;

[[noreturn]] void Fail(const char* what, const QString& detail = {}) {
    fprintf(stderr, "fuzz_station: %s %s\n", what, qPrintable(detail));
    abort();
}

void Pump(int rounds = 4) {
    for (int i = 0; i < rounds; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool WaitUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(2000);
    while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return done();
}

// Time passes: whatever waits for the machine times out.
void FireTimeouts(Station& s) {
    // Three rounds of every time-out at most.
    for (int n = 0; n < 18 && StationProbe::expireNext(s); ++n) Pump();
}

// Every file and folder under the sandbox lies in the machine's folders, is
// a log in the program folder, or leads to them.
void CheckConfined(const QString& home, const QString& machineFolder) {
    const QString history = home + QStringLiteral("/historik");
    QDirIterator it(sandbox->path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (path == machineFolder || path.startsWith(machineFolder + QLatin1Char('/'))) continue;
        if (path == history || path.startsWith(history + QLatin1Char('/'))) continue;
        if (info.isDir() && !info.isSymLink() && (home + QLatin1Char('/')).startsWith(path + QLatin1Char('/'))) continue;
        if (info.path() == home && info.isFile() && path.endsWith(QLatin1String(".log"))) continue;
        Fail("file outside the machine's folders:", path);
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    new QCoreApplication(*argc, *argv);
    sandbox = new QTemporaryDir;
    std::atexit([] { delete sandbox; });
    QDir::setCurrent(sandbox->path());  // relative paths land in the sandbox too
    SetMessageSink([](const QString&, const QString&, MsgIcon) {});
    SetErrorDialog([](const QString&) { return true; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    enum class Exchange { None, Fetch, Compare, Send, SendReadBack, CutSend };
    const bool pcFirst = data[0] >= 192 && size >= 2;
    const qint16 typ = data[0] % 3;  // 0 network, 1 serial protocol 2, 2 serial protocol 1
    const Exchange exchange = pcFirst ? Exchange(1 + (data[0] - 192) / 3 % 5) : Exchange::None;
    const qsizetype piece = 1 + (pcFirst ? data[1] : data[0] / 3) % 64;
    const qsizetype skip = pcFirst ? 2 : 1;
    const QByteArray bytes(reinterpret_cast<const char*>(data + skip), qsizetype(size - skip));
    // What follows the bytes FF FE arrives late: after the time-outs ran out.
    const qsizetype split = bytes.indexOf("\xff\xfe");
    QByteArray later = split < 0 ? QByteArray() : bytes.mid(split + 2);
    const QByteArray now = split < 0 ? bytes : bytes.left(split);

    // Deep in the sandbox, so that a name climbing out of its folder is still seen.
    QDir(sandbox->filePath(QStringLiteral("run"))).removeRecursively();
    const QString home = sandbox->filePath(QStringLiteral("run/shop/home"));
    const QString send = home + QStringLiteral("/ncprog");
    for (const QString& d : {send + QStringLiteral("/mottaget"), send + QStringLiteral("/papperskorg")})
        QDir().mkpath(d);
    {
        QFile program(send + QStringLiteral("/O1.NC"));
        if (!program.open(QIODevice::WriteOnly)) Fail("cannot write", program.fileName());
        program.write("(SHAFT)%\r\nG0X0\r\nM30\r\n");
        // Long enough to be cut between two pieces.
        if (exchange == Exchange::CutSend) program.write(QByteArray(600, 'X'));
        program.write("%");
    }
    SetProgramFolder(home);

    ScriptedPanel panel;
    panel.tree = send;
    MemorySerialPort* port = typ == 0 ? nullptr : new MemorySerialPort;
    {
        Station station(panel, port);
        MachineSettings m;
        m.Typ = typ;
        m.SendPath = send;
        m.RecPath = send + QStringLiteral("/mottaget");
        m.Deleted = send + QStringLiteral("/papperskorg");
        m.Extension = QStringLiteral("NC");
        m.IP = QStringLiteral("127.0.0.1");
        station.SetMachine(m);
        GeneralSettings g;
        g.ListenPort = 0;
        g.MaxMessage = 4096;  // small, so that refusing a message is reached too
        station.ApplyGeneralSettings(g);

        if (exchange != Exchange::None) {
            // Time-outs that never run out by themselves: the clock below
            // makes them run out once the input is spent.
            g.GeneralTimeout = g.SvarTimeout = g.RecTimeout = g.SendTimeout = g.CtsTimeout = 60000;
            g.VerifyAfterSend = exchange == Exchange::SendReadBack;
            station.ApplyGeneralSettings(g);
        }
        // The injected clock: once every byte has arrived, whatever still
        // waits times out at once, inside the operation's own wait too.
        bool spent = exchange == Exchange::CutSend;
        std::function<void(const QByteArray&)> writer;
        QTimer clock;
        clock.setInterval(1);
        QObject::connect(&clock, &QTimer::timeout, [&] {
            if (!spent) return;
            FireTimeouts(station);
            if (later.isEmpty() || !writer) return;
            const QByteArray rest = std::exchange(later, QByteArray());
            for (qsizetype i = 0; i < rest.size(); i += piece) {
                writer(rest.mid(i, piece));
                Pump();
            }
        });
        clock.start();

        QTcpSocket machine;
        QTcpServer answering;  // the machine's end of the PC's connection
        QTcpSocket* answers = nullptr;
        auto feed = [&](const std::function<void(const QByteArray&)>& write) {
            writer = write;
            for (qsizetype i = 0; i < now.size(); i += piece) {
                write(now.mid(i, piece));
                Pump();
            }
            spent = true;
        };
        if (port) {
            port->setInstant(true);
            if (!port->open()) Fail("serial port did not open");
        }
        if (exchange != Exchange::None) {
            if (!port) {
                if (!answering.listen(QHostAddress::LocalHost, 0)) Fail("cannot listen for the PC");
                m.Port = QString::number(answering.serverPort());
                station.SetMachine(m);
                QObject::connect(&answering, &QTcpServer::newConnection, [&] {
                    answers = answering.nextPendingConnection();
                    QTimer::singleShot(0, [&] {
                        feed([&](const QByteArray& b) {
                            if (answers) answers->write(b);
                        });
                    });
                });
            } else {
                QTimer::singleShot(0, [&] { feed([&](const QByteArray& b) { port->deliver(b); }); });
            }
            panel.selectedRemote = {QStringLiteral("O1")};
            panel.selectedLocal = {QStringLiteral("O1.NC")};
            switch (exchange) {
            case Exchange::Fetch: cmdRec_Click(station, panel.fetch()); break;
            case Exchange::Compare: mnuCompare_Click(station, send); break;
            case Exchange::CutSend:
                if (port) {
                    // The machine holds CTS low after the first piece; the
                    // send is cut, then the list is asked for.
                    const auto hold =
                        QObject::connect(port, &MemorySerialPort::transmitted, [port] { port->setCts(false); });
                    cmdSend_Click(station, panel.send());
                    QObject::disconnect(hold);
                    port->setCts(true);
                    spent = false;
                    panel.answers = {OperatorPanel::Answer::Yes};
                }
                cmdDir_Click(station);
                break;
            default: cmdSend_Click(station, panel.send()); break;
            }
            Pump();
        } else if (port) {
            feed([&](const QByteArray& b) { port->deliver(b); });
        } else {
            if (!station.StartListening()) Fail("cannot listen");
            machine.connectToHost(QStringLiteral("127.0.0.1"), station.ListeningPort());
            if (!WaitUntil([&] { return machine.state() == QAbstractSocket::ConnectedState; }))
                Fail("no connection");
            feed([&](const QByteArray& b) {
                machine.write(b);
                machine.flush();
            });
            WaitUntil([&] { return machine.bytesToWrite() == 0; });
            Pump();
        }
        spent = true;
        // A store the machine made ends on a worker, and a serial line's
        // bytes and events cross the serial thread: both take real time, not
        // the fuzz clock's, so time-outs run out until everything has settled.
        WaitUntil([&] {
            // A store on its worker ends with the machine's answer: the link
            // is idle only after that, and the store must not outlive its sandbox.
            WaitForStores();
            FireTimeouts(station);
            return station.serialLink().Phase == 0 && station.netLink().Phase == 0 && !station.Busy() &&
                   (!port || port->outBufferCount() == 0);
        });
        clock.stop();
        if (station.serialLink().Phase != 0 || station.netLink().Phase != 0)
            Fail("link not idle after its time-outs");
        if (station.OpenExchange()) Fail("exchange still open after its time-outs");
        if (port && port->outBufferCount() != 0) Fail("serial output never drained");
        machine.abort();
        Pump();
    }
    CheckConfined(home, send);
    return 0;
}
