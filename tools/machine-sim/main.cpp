// machine-sim: a simulated TC-series machine on TCP and/or a serial device.
//
//   machine-sim --memory DIR [--tcp-listen [HOST:]PORT] [--tcp-connect HOST:PORT]
//               [--serial DEVICE] [--settings 9600,e,7,1] [--protocol 2|1|1colon]
//               [--eob crlf|lf] [--fault F]... [--request "LOD NAME"]...
//               [--reply-timeout MS] [--exit-after-requests]
//   machine-sim --memory DIR --serial DEVICE --protocol iso [--buffer SIZE,HIGH,LOW]
//               [--drip-rate BLOCKS/S] [--fault parity|cut|xoff-hold=MS|stop-at-end=MS|read-while-held]...
//               [--request "PUNCH O1234" | "SAND O1234" | "LIST"]...
//
// stdout carries one line per event a script waits for ("LISTENING <port>",
// "SERIAL <device>", "DONE OK|FAILED <request>"); stderr logs the traffic.
#include "link/qtserialport.h"
#include "machine-sim/simiso.h"
#include "machine-sim/simmachine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>
#include <cstdio>
#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

void Out(const QString& line) {
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Err(const QString& line) {
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

int Fail(const QString& text) {
    Err(QStringLiteral("machine-sim: ") + text);
    return 2;
}

// "HOST:PORT" or, when host is optional, "PORT".
bool SplitHostPort(const QString& text, bool hostOptional, QString* host, quint16* port) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 && !hostOptional) return false;
    *host = colon < 0 ? QString() : text.left(colon);
    bool ok = false;
    const uint value = text.mid(colon + 1).toUInt(&ok);
    if (!ok || value > 65535) return false;
    *port = static_cast<quint16>(value);
    return hostOptional || !host->isEmpty();
}

#ifdef Q_OS_UNIX
int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[0], &c, 1);
}

// SIGINT and SIGTERM end the event loop, outside the signal handler.
void QuitOnSignals(QCoreApplication& app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char c;
        [[maybe_unused]] const auto n = ::read(g_signalPipe[1], &c, 1);
        app.quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}
#else
void QuitOnSignals(QCoreApplication&) {}
#endif

// A plain-tape control: serial only, punching instead of requests.
int RunIso(QCoreApplication& app, const QCommandLineParser& cl, const QCommandLineOption& memory,
           const QCommandLineOption& serial, const QCommandLineOption& settings, const QCommandLineOption& fault,
           const QCommandLineOption& request, const QCommandLineOption& buffer, const QCommandLineOption& dripRate) {
    if (!cl.isSet(serial)) return Fail(QStringLiteral("--protocol iso needs --serial DEVICE"));
    SimIsoMachine sim(cl.value(memory));
    QObject::connect(&sim, &SimIsoMachine::logLine, &app, [](const QString& line) { Err(line); });
    const QStringList marks = cl.value(buffer).split(QLatin1Char(','));
    if (marks.size() != 3) return Fail(QStringLiteral("bad --buffer"));
    const int size = marks[0].toInt(), high = marks[1].toInt(), low = marks[2].toInt();
    if (size <= 0 || high <= low || high > size || low < 0) return Fail(QStringLiteral("bad --buffer"));
    sim.setBuffer(size, high, low);
    if (cl.isSet(dripRate)) {
        bool ok = false;
        const double rate = cl.value(dripRate).toDouble(&ok);
        if (!ok || rate <= 0) return Fail(QStringLiteral("bad --drip-rate"));
        sim.setDripRate(rate);
    }
    for (const QString& f : cl.values(fault)) {
        QString error;
        if (!sim.applyFault(f, &error)) return Fail(error);
    }
    QtSerialPort port;
    port.setDevice(cl.value(serial));
    if (!port.setSettings(cl.value(settings))) return Fail(QStringLiteral("bad --settings"));
    if (!port.open()) return Fail(QStringLiteral("cannot open %1: %2").arg(cl.value(serial), port.errorString()));
    sim.attach(&port);
    sim.setLineWithoutRate(QFileInfo(cl.value(serial)).canonicalFilePath().startsWith(QLatin1String("/dev/pts/")));
    Out(QStringLiteral("SERIAL %1").arg(cl.value(serial)));
    QObject::connect(&sim, &SimIsoMachine::programReceived, &app,
                     [](const QString& name) { Out(QStringLiteral("RECEIVED %1").arg(name)); });
    for (const QString& r : cl.values(request)) {
        QString error;
        if (!sim.request(r, &error)) return Fail(error);
    }
    QuitOnSignals(app);
    const int rc = app.exec();
    sim.attach(nullptr);
    port.close();
    Out(QStringLiteral("AFTER-DC3 %1").arg(sim.mostAfterXoff()));
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("machine-sim"));

    QCommandLineParser cl;
    cl.setApplicationDescription(QStringLiteral("A simulated TC-series CNC machine."));
    cl.addHelpOption();
    const QCommandLineOption memory(QStringLiteral("memory"), QStringLiteral("Program memory folder."), QStringLiteral("DIR"));
    const QCommandLineOption listen(QStringLiteral("tcp-listen"), QStringLiteral("Listen for the PC ([HOST:]PORT, 0: any free port)."), QStringLiteral("PORT"));
    const QCommandLineOption connectTo(QStringLiteral("tcp-connect"), QStringLiteral("The PC's listening port for the machine's own requests."), QStringLiteral("HOST:PORT"));
    const QCommandLineOption serial(QStringLiteral("serial"), QStringLiteral("Serial device."), QStringLiteral("DEVICE"));
    const QCommandLineOption settings(QStringLiteral("settings"), QStringLiteral("Serial settings."), QStringLiteral("TEXT"), QStringLiteral("9600,e,7,1"));
    const QCommandLineOption protocol(QStringLiteral("protocol"), QStringLiteral("2, 1, 1colon or iso (plain tape, serial only)."), QStringLiteral("P"), QStringLiteral("2"));
    const QCommandLineOption eob(QStringLiteral("eob"), QStringLiteral("crlf or lf."), QStringLiteral("EOB"), QStringLiteral("crlf"));
    const QCommandLineOption fault(QStringLiteral("fault"), QStringLiteral("checksum[-next], status=NN, silent[-next], split=BYTES:MS, trickle=MS, drop[-next], cts-low, corrupt-store[-next]; iso: parity, cut, xoff-hold=MS, stop-at-end=MS, read-while-held."), QStringLiteral("F"));
    const QCommandLineOption request(QStringLiteral("request"), QStringLiteral("A request to the PC, e.g. \"LOD O1234\", \"DRQ ALL\"."), QStringLiteral("TEXT"));
    const QCommandLineOption timeout(QStringLiteral("reply-timeout"), QStringLiteral("Wait for the PC's answer (ms)."), QStringLiteral("MS"), QStringLiteral("10000"));
    const QCommandLineOption exitAfter(QStringLiteral("exit-after-requests"), QStringLiteral("End after the last answer (exit 1 when one failed)."));
    const QCommandLineOption buffer(QStringLiteral("buffer"), QStringLiteral("iso: buffer size, DC3 and DC1 marks."), QStringLiteral("SIZE,HIGH,LOW"), QStringLiteral("256,192,64"));
    const QCommandLineOption dripRate(QStringLiteral("drip-rate"), QStringLiteral("iso: run programs as they arrive, BLOCKS/S."), QStringLiteral("RATE"));
    cl.addOptions({memory, listen, connectTo, serial, settings, protocol, eob, fault, request, timeout, exitAfter, buffer, dripRate});
    cl.process(app);

    if (!cl.isSet(memory)) return Fail(QStringLiteral("--memory DIR is required"));
    if (cl.value(protocol).toLower() == QLatin1String("iso")) return RunIso(app, cl, memory, serial, settings, fault, request, buffer, dripRate);
    SimMachine sim(cl.value(memory));
    QObject::connect(&sim, &SimMachine::logLine, &app, [](const QString& line) { Err(line); });

    const QString p = cl.value(protocol).toLower();
    if (p == QLatin1String("2")) sim.setProtocol(SimMachine::Protocol::Two);
    else if (p == QLatin1String("1")) sim.setProtocol(SimMachine::Protocol::OneShort);
    else if (p == QLatin1String("1colon")) sim.setProtocol(SimMachine::Protocol::OneColon);
    else return Fail(QStringLiteral("unknown protocol: ") + p);

    const QString e = cl.value(eob).toLower();
    if (e == QLatin1String("crlf")) sim.setLineEnd(SimMachine::LineEnd::CrLf);
    else if (e == QLatin1String("lf")) sim.setLineEnd(SimMachine::LineEnd::Lf);
    else return Fail(QStringLiteral("unknown line end: ") + e);

    bool ok = false;
    const int ms = cl.value(timeout).toInt(&ok);
    if (!ok || ms <= 0) return Fail(QStringLiteral("bad --reply-timeout"));
    sim.setReplyTimeout(ms);

    for (const QString& f : cl.values(fault)) {
        QString error;
        if (!sim.applyFault(f, &error)) return Fail(error);
    }

    if (cl.isSet(listen)) {
        QString host;
        quint16 port = 0;
        if (!SplitHostPort(cl.value(listen), true, &host, &port)) return Fail(QStringLiteral("bad --tcp-listen"));
        const QHostAddress address = host.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(host);
        if (address.isNull()) return Fail(QStringLiteral("bad --tcp-listen address"));
        if (!sim.listen(port, address)) return Fail(QStringLiteral("cannot listen: ") + sim.errorString());
        Out(QStringLiteral("LISTENING %1").arg(sim.serverPort()));
    }
    if (cl.isSet(connectTo)) {
        QString host;
        quint16 port = 0;
        if (!SplitHostPort(cl.value(connectTo), false, &host, &port)) return Fail(QStringLiteral("bad --tcp-connect"));
        sim.connectToPc(host, port);
    }

    std::unique_ptr<QtSerialPort> port;
    if (cl.isSet(serial)) {
        port = std::make_unique<QtSerialPort>();
        port->setDevice(cl.value(serial));
        if (!port->setSettings(cl.value(settings))) return Fail(QStringLiteral("bad --settings"));
        if (!port->open()) return Fail(QStringLiteral("cannot open %1: %2").arg(cl.value(serial), port->errorString()));
        sim.attachSerial(port.get());
        Out(QStringLiteral("SERIAL %1").arg(cl.value(serial)));
    }

    QStringList requests = cl.values(request);
    for (const QString& r : requests) {
        QString error;
        if (!sim.request(r, &error)) return Fail(error);
    }
    QObject::connect(&sim, &SimMachine::requestFinished, &app, [&requests](bool done, const QByteArray&) {
        const QString text = requests.isEmpty() ? QString() : requests.takeFirst();
        Out(QStringLiteral("DONE %1 %2").arg(done ? QStringLiteral("OK") : QStringLiteral("FAILED"), text));
    });
    const bool exitAfterRequests = cl.isSet(exitAfter);
    if (exitAfterRequests) {
        QObject::connect(&sim, &SimMachine::requestsDone, &app,
                         [&sim] { QCoreApplication::exit(sim.failedRequests() == 0 ? 0 : 1); });
        if (!sim.busy()) return 0;
    }

    QuitOnSignals(app);
    const int rc = app.exec();
    sim.attachSerial(nullptr);
    if (port) port->close();
    return rc;
}
