// The station fed any bytes as a machine sends them, in pieces: over the
// in-memory serial port (protocol 2 or 1) or a socket to its listening port.
// Input: the first byte picks the link and the piece size, the rest arrives.
// Afterwards every time-out still running fires; then both links must be
// idle and no file may exist outside the machine's folders and the logs.
#include "common/errorreport.h"
#include "common/home.h"
#include "common/notify.h"
#include "link/memoryserialport.h"
#include "link/station.h"
#include "support/scriptedpanel.h"
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <cstdio>
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
    const std::pair<QTimer*, void (Station::*)()> timers[] = {
        {&s.RecTimer, &Station::RecTimer_Timer},         {&s.SvarTimer, &Station::SvarTimer_Timer},
        {&s.SendTimer, &Station::SendTimer_Timer},       {&s.CtsTimer, &Station::CtsTimer_Timer},
        {&s.NetTimer, &Station::NetTimer_Timer},         {&s.TimeoutTimer, &Station::TimeoutTimer_Timer}};
    for (int round = 0; round < 3; ++round)
        for (const auto& [timer, handler] : timers)
            if (timer->isActive()) {
                timer->stop();
                (s.*handler)();
                Pump();
            }
}

// Every file and folder under the sandbox lies in the machine's folders, is
// a log in the program folder, or leads to them.
void CheckConfined(const QString& home, const QString& machineFolder) {
    QDirIterator it(sandbox->path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (path == machineFolder || path.startsWith(machineFolder + QLatin1Char('/'))) continue;
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
    const qint16 typ = data[0] % 3;  // 0 network, 1 serial protocol 2, 2 serial protocol 1
    const qsizetype piece = 1 + (data[0] / 3) % 64;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    // Deep in the sandbox, so that a name climbing out of its folder is still seen.
    QDir(sandbox->filePath(QStringLiteral("run"))).removeRecursively();
    const QString home = sandbox->filePath(QStringLiteral("run/shop/home"));
    const QString send = home + QStringLiteral("/ncprog");
    for (const QString& d : {send + QStringLiteral("/mottaget"), send + QStringLiteral("/papperskorg")})
        QDir().mkpath(d);
    {
        QFile program(send + QStringLiteral("/O1.NC"));
        if (!program.open(QIODevice::WriteOnly)) Fail("cannot write", program.fileName());
        program.write("(SHAFT)%\r\nG0X0\r\nM30\r\n%");
    }
    SetProgramFolder(home);

    ScriptedPanel panel;
    panel.tree = send;
    MemorySerialPort* port = typ == 0 ? nullptr : new MemorySerialPort;
    {
        Station station(panel, port);
        station.Machine.Typ = typ;
        station.Machine.SendPath = send;
        station.Machine.RecPath = send + QStringLiteral("/mottaget");
        station.Machine.Deleted = send + QStringLiteral("/papperskorg");
        station.Machine.Extension = QStringLiteral("NC");
        station.Machine.IP = QStringLiteral("127.0.0.1");
        GeneralSettings g;
        g.ListenPort = 0;
        g.MaxMessage = 4096;  // small, so that refusing a message is reached too
        station.ApplyGeneralSettings(g);

        QTcpSocket machine;
        if (port) {
            port->setInstant(true);
            if (!port->open()) Fail("serial port did not open");
            for (qsizetype i = 0; i < bytes.size(); i += piece) {
                port->deliver(bytes.mid(i, piece));
                Pump();
            }
        } else {
            if (!station.StartListening()) Fail("cannot listen");
            machine.connectToHost(QStringLiteral("127.0.0.1"), station.ListeningPort());
            if (!WaitUntil([&] { return machine.state() == QAbstractSocket::ConnectedState; }))
                Fail("no connection");
            for (qsizetype i = 0; i < bytes.size(); i += piece) {
                machine.write(bytes.mid(i, piece));
                machine.flush();
                Pump();
            }
            WaitUntil([&] { return machine.bytesToWrite() == 0; });
            Pump();
        }
        FireTimeouts(station);
        if (station.SerialLink.Phase != 0 || station.NetLink.Phase != 0)
            Fail("link not idle after its time-outs");
        if (port && port->outBufferCount() != 0) Fail("serial output never drained");
        machine.abort();
        Pump();
    }
    CheckConfined(home, send);
    return 0;
}
