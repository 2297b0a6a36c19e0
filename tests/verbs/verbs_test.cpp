// The command-line verbs end to end: the built Fenmo32 against the simulated
// machine, each as its own process, in a throw-away program folder.
#include "support/ptypair.h"
#include "support/testhome.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Upper bound for one process: far above what any of them needs, only so
// that a hang fails the test instead of stalling the run.
constexpr int kProcessMs = 60000;

QString Binary(const char* name) { return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name); }

QProcessEnvironment Environment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

struct Result {
    int code = -1;
    bool finished = false;
    QString out, err;
};

// Fenmo32 with standard input that is not a terminal.
Result Fenmo(const QString& home, const QStringList& args) {
    QProcess p;
    p.setProcessEnvironment(Environment());
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(Binary("Fenmo32"), QStringList{QStringLiteral("--home"), home} + args);
    Result r;
    EXPECT_TRUE(p.waitForStarted(kProcessMs));
    r.finished = p.waitForFinished(kProcessMs);
    if (!r.finished) p.kill();
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// Reads lines of p's standard output until one starts with prefix.
QString AwaitLine(QProcess& p, const QByteArray& prefix) {
    QDeadlineTimer deadline(kProcessMs);
    QByteArray seen;
    while (!deadline.hasExpired()) {
        while (p.canReadLine()) {
            const QByteArray line = p.readLine().trimmed();
            if (line.startsWith(prefix)) return QString::fromUtf8(line.mid(prefix.size())).trimmed();
        }
        if (p.state() == QProcess::NotRunning) break;
        p.waitForReadyRead(200);
    }
    return {};
}

// The simulated machine, listening on a port the system picks, or on a
// serial device.
class Machine {
public:
    explicit Machine(const QStringList& extra = {}, const QString& serial = {}) {
        p_.setProcessEnvironment(Environment());
        p_.setProcessChannelMode(QProcess::SeparateChannels);
        const QStringList link = serial.isEmpty()
                                     ? QStringList{QStringLiteral("--tcp-listen"), QStringLiteral("127.0.0.1:0")}
                                     : QStringList{QStringLiteral("--serial"), serial};
        p_.start(Binary("machine-sim"), QStringList{QStringLiteral("--memory"), memory_.path()} + link + extra);
        if (serial.isEmpty()) {
            port = AwaitLine(p_, "LISTENING").toUShort();
            EXPECT_NE(port, 0) << p_.readAllStandardError().toStdString();
        } else {
            EXPECT_EQ(AwaitLine(p_, "SERIAL"), serial) << p_.readAllStandardError().toStdString();
        }
    }
    ~Machine() {
        p_.terminate();
        if (!p_.waitForFinished(kProcessMs)) p_.kill();
    }
    QString memory() const { return memory_.path(); }
    void store(const QString& name, const QByteArray& body) const {
        QFile f(memory_.path() + QLatin1Char('/') + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(body);
    }
    QByteArray program(const QString& name) const {
        QFile f(memory_.path() + QLatin1Char('/') + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool has(const QString& name) const { return QFileInfo::exists(memory_.path() + QLatin1Char('/') + name); }

    quint16 port = 0;

private:
    QTemporaryDir memory_;
    QProcess p_;
};

// A shop folder with one TCP machine "Fräs 1" in slot 1.
struct Shop {
    TestHome home;
    QString programs = home.file(QStringLiteral("ncprog"));

    explicit Shop(quint16 port, int timeoutMs = 20000, quint16 listenPort = 0) {
        QDir().mkpath(programs);
        QDir().mkpath(home.file(QStringLiteral("papperskorg")));
        const QByteArray p = programs.toUtf8();
        const QByteArray t = QByteArray::number(timeoutMs);
        home.write(QStringLiteral("Fenmo32.INI"),
                   "[Program]\r\nSvarTimeout=" + t + "\r\nRecTimeout=" + t + "\r\nListenPort=" + QByteArray::number(listenPort) + "\r\n" +
                       "[Maskin 1]\r\nNamn=Fräs 1\r\nTyp=0\r\nIP=127.0.0.1\r\nPort=" + QByteArray::number(port) +
                       "\r\nSendPath=" + p + "\r\nRecPath=" + p + "\r\nDeleted=" +
                       home.file(QStringLiteral("papperskorg")).toUtf8() + "\r\nExtension=TC\r\nRecTimeout=" + t +
                       "\r\nGetDir=True\r\n");
        home.write(QStringLiteral("errors.ini"), "[Errors]\r\ne08=Programmet finns inte i maskinen.\r\n");
    }
    Result run(const QStringList& args) const { return Fenmo(home.path(), args); }
    QString log() const { return QString::fromLatin1(home.read(QStringLiteral("fenmo32.log"))); }
    QByteArray local(const QString& name) const { return home.read(QStringLiteral("ncprog/") + name); }
};

}  // namespace

TEST(Verbs, MachinesAndUsage) {
    TestHome home;
    const QByteArray ini =
        "[Program]\r\nLastMachine=Svarv\r\n"
        "[ComPorts]\r\nCOM3=/dev/ttyUSB0\r\n"
        "[Maskin 1]\r\nNamn=Fräs 1\r\nTyp=0\r\nIP=10.0.0.5\r\nPort=5000\r\nModell=TC-32B\r\n"
        "[Maskin 4]\r\nNamn=Svarv\r\nTyp=2\r\nComPort=3\r\nBaudRate=4800\r\nSettings=,n,8,1\r\n";
    home.write(QStringLiteral("Fenmo32.INI"), ini);

    const Result r = Fenmo(home.path(), {QStringLiteral("machines")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("1\tFräs 1\tTCP 10.0.0.5:5000\tTC-32B\n"
                                    "4\tSvarv\tCOM3 (/dev/ttyUSB0) 4800,n,8,1 protokoll 1\t?\n"));
    // Listing selects nothing: the settings file is untouched.
    EXPECT_EQ(home.read(QStringLiteral("Fenmo32.INI")), ini);

    const Result unknownVerb = Fenmo(home.path(), {QStringLiteral("sendd"), QStringLiteral("1")});
    EXPECT_EQ(unknownVerb.code, 2);
    EXPECT_TRUE(unknownVerb.err.contains(QStringLiteral("okänt kommando \"sendd\"")));
    EXPECT_TRUE(unknownVerb.err.contains(QStringLiteral("Användning:")));
    EXPECT_TRUE(unknownVerb.out.isEmpty());

    const Result both = Fenmo(home.path(), {QStringLiteral("fetch"), QStringLiteral("1"), QStringLiteral("O1"),
                                            QStringLiteral("--yes"), QStringLiteral("--no")});
    EXPECT_EQ(both.code, 2);
    const Result toWithSend = Fenmo(home.path(), {QStringLiteral("send"), QStringLiteral("1"), QStringLiteral("x.TC"),
                                                  QStringLiteral("--to"), home.path()});
    EXPECT_EQ(toWithSend.code, 2);
    const Result missingMachine = Fenmo(home.path(), {QStringLiteral("dir")});
    EXPECT_EQ(missingMachine.code, 2);
    const Result unknownMachine = Fenmo(home.path(), {QStringLiteral("dir"), QStringLiteral("Fräs 9")});
    EXPECT_EQ(unknownMachine.code, 2);
    EXPECT_TRUE(unknownMachine.err.contains(QStringLiteral("okänd maskin \"Fräs 9\""))) << unknownMachine.err.toStdString();
    const Result noSuchSlot = Fenmo(home.path(), {QStringLiteral("dir"), QStringLiteral("2")});
    EXPECT_EQ(noSuchSlot.code, 2);

    const Result help = Fenmo(home.path(), {QStringLiteral("--help")});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.startsWith(QStringLiteral("Användning:")));
    EXPECT_EQ(home.read(QStringLiteral("Fenmo32.INI")), ini);
}

TEST(Verbs, DirListsTheMachinesPrograms) {
    Machine machine;
    machine.store(QStringLiteral("O1001"), QByteArray(256, 'X'));
    machine.store(QStringLiteral("O2002"), "M30");
    Shop shop(machine.port);

    const Result byName = shop.run({QStringLiteral("dir"), QStringLiteral("Fräs 1")});
    EXPECT_EQ(byName.code, 0) << byName.err.toStdString();
    EXPECT_EQ(byName.out, QStringLiteral("O1001\t2\nO2002\t0\n"));
    EXPECT_TRUE(byName.err.contains(QStringLiteral("Fillista klar.")));
    const Result bySlot = shop.run({QStringLiteral("dir"), QStringLiteral("1")});
    EXPECT_EQ(bySlot.code, 0);
    EXPECT_EQ(bySlot.out, byName.out);

    // Selected as the window selects: remembered, and logged as the window logs.
    EXPECT_TRUE(shop.home.read(QStringLiteral("Fenmo32.INI")).contains("LastMachine=Fräs 1"));
    EXPECT_EQ(shop.log().count(QStringLiteral("Begär fillista.")), 2);
    EXPECT_EQ(shop.log().count(QStringLiteral("Inkommande kommando: RDRQALL00")), 2);
}

TEST(Verbs, SendDeliversFilesOneAfterTheOther) {
    Machine machine;
    Shop shop(machine.port);
    // 8-bit text and no line end before the closing "%": the machine keeps
    // the program text byte for byte.
    shop.home.write(QStringLiteral("ncprog/O1001.TC"), "(first)%O1001 (\xC5\xC4\xD6)\r\nG0 X1.5\r\nM30%");
    shop.home.write(QStringLiteral("other/O1002.TC"), "%O1002\r\nG1 Z-2\r\nM30%");

    const Result sent = shop.run({QStringLiteral("send"), QStringLiteral("--yes"), QStringLiteral("1"),
                                  shop.home.file(QStringLiteral("ncprog/O1001.TC")),
                                  shop.home.file(QStringLiteral("other/O1002.TC"))});
    EXPECT_EQ(sent.code, 0) << sent.err.toStdString();
    EXPECT_EQ(machine.program(QStringLiteral("O1001")), QByteArray("O1001 (\xC5\xC4\xD6)\r\nG0 X1.5\r\nM30"));
    EXPECT_EQ(machine.program(QStringLiteral("O1002")), QByteArray("O1002\r\nG1 Z-2\r\nM30"));
    // The second was asked for only after the machine answered the first.
    const QString log = shop.log();
    const qsizetype answer1 = log.indexOf(QStringLiteral("Inkommande kommando: RSAVO100100"));
    const qsizetype request2 = log.indexOf(QStringLiteral("Begär sändning av fil: O1002.TC"));
    EXPECT_GT(answer1, log.indexOf(QStringLiteral("Begär sändning av fil: O1001.TC")));
    EXPECT_GT(request2, answer1);
    EXPECT_FALSE(log.contains(QStringLiteral("Begär fillista.")));  // --yes needs no list

    // Now the machine holds O1001: --no, and no answer at all off a terminal,
    // refuse the overwrite and send nothing.
    shop.home.write(QStringLiteral("ncprog/O1001.TC"), "%CHANGED%");
    for (const QString& flag : {QStringLiteral("--no"), QString()}) {
        QStringList args{QStringLiteral("send"), QStringLiteral("Fräs 1"), shop.home.file(QStringLiteral("ncprog/O1001.TC"))};
        if (!flag.isEmpty()) args << flag;
        const Result refused = shop.run(args);
        EXPECT_EQ(refused.code, 1) << flag.toStdString();
        EXPECT_TRUE(refused.err.contains(QStringLiteral("Filen finns redan i maskinen. Skriva över? Nej")))
            << refused.err.toStdString();
        EXPECT_EQ(machine.program(QStringLiteral("O1001")), QByteArray("O1001 (\xC5\xC4\xD6)\r\nG0 X1.5\r\nM30"));
    }
    // A program the machine lacks goes out after the list was asked for.
    shop.home.write(QStringLiteral("ncprog/O1003.TC"), "%M30%");
    const Result fresh = shop.run({QStringLiteral("send"), QStringLiteral("1"), shop.home.file(QStringLiteral("ncprog/O1003.TC"))});
    EXPECT_EQ(fresh.code, 0) << fresh.err.toStdString();
    EXPECT_EQ(machine.program(QStringLiteral("O1003")), QByteArray("M30"));

    // Files that cannot be sent are usage errors, before anything is sent.
    const Result missing = shop.run({QStringLiteral("send"), QStringLiteral("--yes"), QStringLiteral("1"),
                                     shop.home.file(QStringLiteral("ncprog/O1003.TC")),
                                     shop.home.file(QStringLiteral("ncprog/NONE.TC"))});
    EXPECT_EQ(missing.code, 2);
    EXPECT_TRUE(missing.err.contains(QStringLiteral("NONE.TC")));
    shop.home.write(QStringLiteral("ncprog/NODOT"), "%M30%");
    const Result noName = shop.run({QStringLiteral("send"), QStringLiteral("--yes"), QStringLiteral("1"),
                                    shop.home.file(QStringLiteral("ncprog/NODOT"))});
    EXPECT_EQ(noName.code, 2);
    const qsizetype sends = shop.log().count(QStringLiteral("Begär sändning av fil:"));
    EXPECT_EQ(sends, 5);  // two, the two refused, the fresh one; none for the usage errors
}

TEST(Verbs, FetchReplacesOnlyWhenAllowed) {
    Machine machine;
    machine.store(QStringLiteral("O2002"), "O2002\r\nG1 X5\r\nM30");
    machine.store(QStringLiteral("O2003"), "O2003\r\nM30");
    Shop shop(machine.port);

    const Result fetched = shop.run({QStringLiteral("fetch"), QStringLiteral("1"), QStringLiteral("O2002")});
    EXPECT_EQ(fetched.code, 0) << fetched.err.toStdString();
    EXPECT_EQ(shop.local(QStringLiteral("O2002.TC")), QByteArray("O2002\r\nG1 X5\r\nM30"));
    EXPECT_TRUE(fetched.err.contains(QStringLiteral("Mottagning klar ('O2002')")));

    // An existing file stays without --yes (a refusal is a failure) ...
    shop.home.write(QStringLiteral("ncprog/O2002.TC"), "LOCAL");
    const Result kept = shop.run({QStringLiteral("fetch"), QStringLiteral("1"), QStringLiteral("O2002"), QStringLiteral("O2003")});
    EXPECT_EQ(kept.code, 1);
    EXPECT_EQ(shop.local(QStringLiteral("O2002.TC")), QByteArray("LOCAL"));
    EXPECT_EQ(shop.local(QStringLiteral("O2003.TC")), QByteArray("O2003\r\nM30"));  // the other one came
    EXPECT_TRUE(kept.err.contains(QStringLiteral("\"O2002\" hämtades inte.")));
    // ... and is replaced with it.
    const Result replaced = shop.run({QStringLiteral("fetch"), QStringLiteral("--yes"), QStringLiteral("1"), QStringLiteral("O2002")});
    EXPECT_EQ(replaced.code, 0);
    EXPECT_EQ(shop.local(QStringLiteral("O2002.TC")), QByteArray("O2002\r\nG1 X5\r\nM30"));

    const QString elsewhere = shop.home.file(QStringLiteral("elsewhere"));
    QDir().mkpath(elsewhere);
    const Result to = shop.run({QStringLiteral("fetch"), QStringLiteral("1"), QStringLiteral("O2003"), QStringLiteral("--to"), elsewhere});
    EXPECT_EQ(to.code, 0) << to.err.toStdString();
    EXPECT_EQ(shop.home.read(QStringLiteral("elsewhere/O2003.TC")), QByteArray("O2003\r\nM30"));

    // A program the machine lacks: its error text, and exit 1.
    const Result lacking = shop.run({QStringLiteral("fetch"), QStringLiteral("1"), QStringLiteral("O9999")});
    EXPECT_EQ(lacking.code, 1);
    EXPECT_TRUE(lacking.err.contains(QStringLiteral("Programmet finns inte i maskinen.")));
    EXPECT_FALSE(shop.home.exists(QStringLiteral("ncprog/O9999.TC")));

    // Names that are no program names never reach the machine or the disk.
    const qsizetype before = shop.log().size();
    for (const QString& bad : {QStringLiteral("../O2002"), QStringLiteral("O12345678"), QStringLiteral("O\u4E00")}) {
        const Result r = shop.run({QStringLiteral("fetch"), QStringLiteral("--yes"), QStringLiteral("1"), bad});
        EXPECT_EQ(r.code, 2) << bad.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("ogiltigt programnamn"))) << r.err.toStdString();
    }
    EXPECT_EQ(shop.log().size(), before);
    EXPECT_FALSE(QFileInfo::exists(shop.home.path() + QStringLiteral("/O2002.TC")));
    const Result noFolder = shop.run({QStringLiteral("fetch"), QStringLiteral("1"), QStringLiteral("O2003"), QStringLiteral("--to"),
                                      shop.home.file(QStringLiteral("nowhere"))});
    EXPECT_EQ(noFolder.code, 2);
}

TEST(Verbs, DeleteRemovesAndShowsTheMachinesError) {
    Machine machine;
    machine.store(QStringLiteral("O2002"), "M30");
    machine.store(QStringLiteral("O2003"), "M30");
    Shop shop(machine.port);

    const Result deleted = shop.run({QStringLiteral("delete"), QStringLiteral("1"), QStringLiteral("O2002")});
    EXPECT_EQ(deleted.code, 0) << deleted.err.toStdString();
    EXPECT_FALSE(machine.has(QStringLiteral("O2002")));
    EXPECT_TRUE(machine.has(QStringLiteral("O2003")));
    EXPECT_TRUE(deleted.err.contains(QStringLiteral("Radering utförd ('O2002').")));
    EXPECT_TRUE(shop.log().contains(QStringLiteral("Begär borttagning av fil: O2002")));

    // A missing program fails with the machine's text; the next one is still deleted.
    const Result partly = shop.run({QStringLiteral("delete"), QStringLiteral("1"), QStringLiteral("O9999"), QStringLiteral("O2003")});
    EXPECT_EQ(partly.code, 1);
    EXPECT_TRUE(partly.err.contains(QStringLiteral("Överföringsfel:\nProgrammet finns inte i maskinen.")))
        << partly.err.toStdString();
    EXPECT_TRUE(partly.err.contains(QStringLiteral("\"O9999\" raderades inte.")));
    EXPECT_FALSE(machine.has(QStringLiteral("O2003")));

    const Result bad = shop.run({QStringLiteral("delete"), QStringLiteral("1"), QStringLiteral("O1/O2")});
    EXPECT_EQ(bad.code, 2);
}

TEST(Verbs, SilentMachineEndsInTheTimeOut) {
    Machine machine({QStringLiteral("--fault"), QStringLiteral("silent")});
    Shop shop(machine.port, 200);
    for (const QStringList& args : {QStringList{QStringLiteral("fetch"), QStringLiteral("1"), QStringLiteral("O1")},
                                    QStringList{QStringLiteral("dir"), QStringLiteral("1")},
                                    QStringList{QStringLiteral("delete"), QStringLiteral("1"), QStringLiteral("O1")}}) {
        const Result r = shop.run(args);
        EXPECT_TRUE(r.finished) << args.join(' ').toStdString();
        EXPECT_EQ(r.code, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("Inget svar från maskinen (timeout)."))) << r.err.toStdString();
    }
    shop.home.write(QStringLiteral("ncprog/O1.TC"), "%M30%");
    const Result send = shop.run({QStringLiteral("send"), QStringLiteral("--yes"), QStringLiteral("1"), shop.home.file(QStringLiteral("ncprog/O1.TC"))});
    EXPECT_EQ(send.code, 1);
    EXPECT_TRUE(send.err.contains(QStringLiteral("Inget svar från maskinen (timeout).")));

    // Nobody listening at all: a link failure.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    Shop nobody(closed.serverPort(), 200);
    closed.close();
    const Result refused = nobody.run({QStringLiteral("dir"), QStringLiteral("1")});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("Fel: "))) << refused.err.toStdString();
}

TEST(Verbs, ServeAnswersTheMachineUntilSignalled) {
    Shop shop(1);
    shop.home.write(QStringLiteral("ncprog/O3003.TC"), "%O3003\r\nM30%");

    QProcess serve;
    serve.setProcessEnvironment(Environment());
    serve.start(Binary("Fenmo32"), {QStringLiteral("--home"), shop.home.path(), QStringLiteral("serve")});
    const QString port = AwaitLine(serve, "LISTENING");
    ASSERT_FALSE(port.isEmpty()) << serve.readAllStandardError().toStdString();

    QTemporaryDir memory;
    QProcess sim;
    sim.setProcessEnvironment(Environment());
    sim.start(Binary("machine-sim"), {QStringLiteral("--memory"), memory.path(), QStringLiteral("--tcp-connect"),
                                      QStringLiteral("127.0.0.1:") + port, QStringLiteral("--request"),
                                      QStringLiteral("LOD O3003"), QStringLiteral("--exit-after-requests")});
    ASSERT_TRUE(sim.waitForFinished(kProcessMs));
    EXPECT_EQ(sim.exitCode(), 0) << sim.readAllStandardError().toStdString();
    QFile got(memory.path() + QStringLiteral("/O3003"));
    ASSERT_TRUE(got.open(QIODevice::ReadOnly));
    EXPECT_EQ(got.readAll(), QByteArray("O3003\r\nM30"));

    serve.terminate();  // SIGTERM
    ASSERT_TRUE(serve.waitForFinished(kProcessMs));
    EXPECT_EQ(serve.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(serve.exitCode(), 0);
    const QString log = shop.log();
    EXPECT_TRUE(log.contains(QStringLiteral("Programmet startat.")));
    EXPECT_TRUE(log.contains(QStringLiteral("Skickar fil: O3003")));
    EXPECT_TRUE(log.trimmed().endsWith(QStringLiteral("Programmet avslutat.")));

    // A taken port ends serve with the window's message.
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::Any));
    Shop busy(1, 20000, taken.serverPort());
    const Result r = busy.run({QStringLiteral("serve"), QStringLiteral("Fräs 1")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("Den inställda porten är upptagen."))) << r.err.toStdString();
    EXPECT_TRUE(busy.log().contains(QStringLiteral("Programmet avslutat.")));
}

TEST(Verbs, SerialMachineOnAPseudoTerminal) {
    PtyPair pty;
    QString why;
    ASSERT_TRUE(pty.start(&why)) << why.toStdString();
    TestHome home;
    const QString programs = home.file(QStringLiteral("ncprog"));
    QDir().mkpath(programs);
    // A pseudo-terminal has no modem lines: CTS counts as present.
    home.write(QStringLiteral("Fenmo32.INI"),
               "[Program]\r\nListenPort=0\r\nIgnoreCts=True\r\nRecTimeout=20000\r\nSvarTimeout=20000\r\n"
               "[ComPorts]\r\nCOM5=" + pty.a.toUtf8() + "\r\n"
               "[Maskin 2]\r\nNamn=Svarv\r\nTyp=1\r\nComPort=5\r\nSendPath=" + programs.toUtf8() +
               "\r\nRecPath=" + programs.toUtf8() + "\r\nExtension=NC\r\nRecTimeout=20000\r\n");
    home.write(QStringLiteral("ncprog/O3003.NC"), "%O3003\r\nM30%");

    // serve answers on the serial port too.
    QProcess serve;
    serve.setProcessEnvironment(Environment());
    serve.start(Binary("Fenmo32"), {QStringLiteral("--home"), home.path(), QStringLiteral("serve"), QStringLiteral("2")});
    ASSERT_FALSE(AwaitLine(serve, "LISTENING").isEmpty()) << serve.readAllStandardError().toStdString();
    {
        QTemporaryDir memory;
        QProcess sim;
        sim.setProcessEnvironment(Environment());
        sim.start(Binary("machine-sim"), {QStringLiteral("--memory"), memory.path(), QStringLiteral("--serial"), pty.b,
                                          QStringLiteral("--request"), QStringLiteral("LOD O3003"),
                                          QStringLiteral("--exit-after-requests")});
        ASSERT_TRUE(sim.waitForFinished(kProcessMs));
        EXPECT_EQ(sim.exitCode(), 0) << sim.readAllStandardError().toStdString();
        QFile got(memory.path() + QStringLiteral("/O3003"));
        ASSERT_TRUE(got.open(QIODevice::ReadOnly));
        EXPECT_EQ(got.readAll(), QByteArray("O3003\r\nM30"));
    }
    serve.terminate();
    ASSERT_TRUE(serve.waitForFinished(kProcessMs));
    EXPECT_EQ(serve.exitCode(), 0);

    // The operator's verbs over the same line.
    Machine machine({}, pty.b);
    machine.store(QStringLiteral("O7"), "O7\r\nM30");
    const Result dir = Fenmo(home.path(), {QStringLiteral("dir"), QStringLiteral("Svarv")});
    EXPECT_EQ(dir.code, 0) << dir.err.toStdString();
    EXPECT_EQ(dir.out, QStringLiteral("O7\t0\n"));
    const Result fetch = Fenmo(home.path(), {QStringLiteral("fetch"), QStringLiteral("Svarv"), QStringLiteral("O7")});
    EXPECT_EQ(fetch.code, 0) << fetch.err.toStdString();
    EXPECT_EQ(home.read(QStringLiteral("ncprog/O7.NC")), QByteArray("O7\r\nM30"));
    const Result send = Fenmo(home.path(), {QStringLiteral("send"), QStringLiteral("--yes"), QStringLiteral("Svarv"),
                                            home.file(QStringLiteral("ncprog/O3003.NC"))});
    EXPECT_EQ(send.code, 0) << send.err.toStdString();
    EXPECT_EQ(machine.program(QStringLiteral("O3003")), QByteArray("O3003\r\nM30"));
}
