// The command-line verbs end to end: the built Fenmo32 against the simulated
// machine, each as its own process, in a throw-away program folder.
#include "app/version.h"
#include "library/history.h"
#include "support/ptypair.h"
#include "support/testhome.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Only so that a hang fails the test instead of stalling the run.
constexpr int kProcessMs = 60000;

QString Binary(const char* name) { return QCoreApplication::applicationDirPath() + '/' + QLatin1String(name); }

QProcessEnvironment Environment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    return env;
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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
    p.start(Binary("Fenmo32"), QStringList{"--home", home} + args);
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

// Runs machine-sim once as a machine asking link for program O3003 and
// returns what landed in its memory.
QByteArray SimLoads(const QStringList& link) {
    QTemporaryDir memory;
    QProcess sim;
    sim.setProcessEnvironment(Environment());
    sim.start(Binary("machine-sim"), QStringList{"--memory", memory.path()} + link +
                                         QStringList{"--request", "LOD O3003", "--exit-after-requests"});
    EXPECT_TRUE(sim.waitForFinished(kProcessMs));
    EXPECT_EQ(sim.exitCode(), 0) << sim.readAllStandardError().toStdString();
    return ReadFile(memory.path() + "/O3003");
}

// The simulated machine, listening on a port the system picks, or on a serial device.
class Machine {
public:
    explicit Machine(const QStringList& extra = {}, const QString& serial = {}) {
        p_.setProcessEnvironment(Environment());
        const QStringList link =
            serial.isEmpty() ? QStringList{"--tcp-listen", "127.0.0.1:0"} : QStringList{"--serial", serial};
        p_.start(Binary("machine-sim"), QStringList{"--memory", memory_.path()} + link + extra);
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
    void store(const QString& name, const QByteArray& body) const {
        QFile f(memory_.path() + '/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(body);
    }
    QByteArray program(const QString& name) const { return ReadFile(memory_.path() + '/' + name); }
    bool has(const QString& name) const { return QFileInfo::exists(memory_.path() + '/' + name); }

    quint16 port = 0;

private:
    QTemporaryDir memory_;
    QProcess p_;
};

// A shop folder with one TCP machine "Fräs 1" in slot 1.
struct Shop {
    TestHome home;

    explicit Shop(quint16 port, int timeoutMs = 20000, quint16 listenPort = 0) {
        const QByteArray p = home.file("ncprog").toUtf8(), t = QByteArray::number(timeoutMs);
        QDir().mkpath(home.file("ncprog"));
        QDir().mkpath(home.file("papperskorg"));
        home.write("Fenmo32.INI",
                   "[Program]\r\nSvarTimeout=" + t + "\r\nRecTimeout=" + t +
                       "\r\nListenPort=" + QByteArray::number(listenPort) +
                       "\r\n[Maskin 1]\r\nNamn=Fräs 1\r\nTyp=0\r\nIP=127.0.0.1\r\nPort=" + QByteArray::number(port) +
                       "\r\nSendPath=" + p + "\r\nRecPath=" + p + "\r\nDeleted=" + home.file("papperskorg").toUtf8() +
                       "\r\nExtension=TC\r\nRecTimeout=" + t + "\r\nGetDir=True\r\n");
        home.write("errors.ini", "[Errors]\r\ne08=Programmet finns inte i maskinen.\r\n");
    }
    Result run(const QStringList& args) const { return Fenmo(home.path(), args); }
    QString log() const { return QString::fromLatin1(home.read("fenmo32.log")); }
    QByteArray local(const QString& name) const { return home.read("ncprog/" + name); }
    QString file(const QString& name) const { return home.file("ncprog/" + name); }
};

}  // namespace

TEST(Verbs, MachinesAndUsage) {
    TestHome home;
    const QByteArray ini =
        "[Program]\r\nLastMachine=Svarv\r\n"
        "[ComPorts]\r\nCOM3=/dev/ttyUSB0\r\n"
        "[Maskin 1]\r\nNamn=Fräs 1\r\nTyp=0\r\nIP=10.0.0.5\r\nPort=5000\r\nModell=TC-32B\r\n"
        "[Maskin 4]\r\nNamn=Svarv\r\nTyp=2\r\nComPort=3\r\nBaudRate=4800\r\nSettings=,n,8,1\r\n";
    home.write("Fenmo32.INI", ini);
    // Each command line: its exit status and its output (whole when it ends a line), or why it failed.
    const std::tuple<QStringList, int, QString> runs[] = {
        {{"machines"}, 0, "1\tFräs 1\tTCP 10.0.0.5:5000\tTC-32B\n4\tSvarv\tCOM3 (/dev/ttyUSB0) 4800,n,8,1 protokoll 1\t?\n"},
        {{"sendd", "1"}, 2, "okänt kommando \"sendd\""},
        {{"sendd", "1"}, 2, "Användning:"},
        {{"dir", "Fräs 9"}, 2, "okänd maskin \"Fräs 9\""},
        {{"fetch", "1", "O1", "--yes", "--no"}, 2, ""},
        {{"send", "1", "x.TC", "--to", home.path()}, 2, ""},
        {{"dir"}, 2, ""},
        {{"dir", "2"}, 2, ""},
        {{"--help"}, 0, "Användning:"},
        {{"--version"}, 0, "Fenmo32 " + VersionNumber() + "\n"}};
    for (const auto& [args, code, text] : runs) {
        const Result r = Fenmo(home.path(), args);
        const QString& got = code ? r.err : r.out;
        EXPECT_EQ(r.code, code) << args.join(' ').toStdString();
        EXPECT_TRUE(text.endsWith('\n') ? got == text : got.contains(text)) << got.toStdString();
        EXPECT_TRUE(code == 0 || r.out.isEmpty()) << args.join(' ').toStdString();
    }
    // The desktop program without a display says what to do instead of aborting.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    qunsetenv("QT_QPA_PLATFORM");
    const Result noDisplay = Fenmo(home.path(), {});
    qputenv("QT_QPA_PLATFORM", platform);
    EXPECT_EQ(noDisplay.code, 2);
    EXPECT_TRUE(noDisplay.err.contains("xvfb-run -a") && noDisplay.err.contains("Fenmo32 --help")) << noDisplay.err.toStdString();
    EXPECT_EQ(home.read("Fenmo32.INI"), ini);  // listing selects nothing
}

TEST(Verbs, DirListsTheMachinesPrograms) {
    Machine machine;
    machine.store("O1001", QByteArray(256, 'X'));
    machine.store("O2002", "M30");
    Shop shop(machine.port);

    const Result byName = shop.run({"dir", "Fräs 1"});
    EXPECT_EQ(byName.code, 0) << byName.err.toStdString();
    EXPECT_EQ(byName.out, "O1001\t2\nO2002\t0\n");
    EXPECT_TRUE(byName.err.contains("Fillista klar."));
    const Result bySlot = shop.run({"dir", "1"});
    EXPECT_EQ(bySlot.code, 0);
    EXPECT_EQ(bySlot.out, byName.out);

    // Selected as the window selects: remembered, and logged as the window logs.
    EXPECT_TRUE(shop.home.read("Fenmo32.INI").contains("LastMachine=Fräs 1"));
    EXPECT_EQ(shop.log().count("Begär fillista."), 2);
    EXPECT_EQ(shop.log().count("Inkommande kommando: RDRQALL00"), 2);
}

TEST(Verbs, SendDeliversFilesOneAfterTheOther) {
    Machine machine;
    Shop shop(machine.port);
    // 8-bit text and no line end before the closing "%": kept byte for byte.
    const QByteArray first("O1001 (\xC5\xC4\xD6)\r\nG0 X1.5\r\nM30");
    shop.home.write("ncprog/O1001.TC", "(first)%" + first + "%");
    shop.home.write("other/O1002.TC", "%O1002\r\nG1 Z-2\r\nM30%");

    const Result sent = shop.run({"send", "--yes", "1", shop.file("O1001.TC"), shop.home.file("other/O1002.TC")});
    EXPECT_EQ(sent.code, 0) << sent.err.toStdString();
    EXPECT_EQ(machine.program("O1001"), first);
    EXPECT_EQ(machine.program("O1002"), QByteArray("O1002\r\nG1 Z-2\r\nM30"));
    // The second was asked for only after the machine answered the first.
    const QString log = shop.log();
    const qsizetype answer1 = log.indexOf("Inkommande kommando: RSAVO100100");
    EXPECT_GT(answer1, log.indexOf("Begär sändning av fil: O1001.TC"));
    EXPECT_GT(log.indexOf("Begär sändning av fil: O1002.TC"), answer1);
    EXPECT_FALSE(log.contains("Begär fillista."));  // --yes needs no list

    // The machine holds O1001: --no, and no answer at all off a terminal, refuse.
    shop.home.write("ncprog/O1001.TC", "%CHANGED%");
    for (const QString& flag : {QString("--no"), QString()}) {
        QStringList args{"send", "Fräs 1", shop.file("O1001.TC")};
        if (!flag.isEmpty()) args << flag;
        const Result refused = shop.run(args);
        EXPECT_EQ(refused.code, 1) << flag.toStdString();
        EXPECT_TRUE(refused.err.contains("Filen finns redan i maskinen. Skriva över? Nej"))
            << refused.err.toStdString();
        EXPECT_EQ(machine.program("O1001"), first);
    }
    // A program the machine lacks goes out after the list was asked for.
    shop.home.write("ncprog/O1003.TC", "%M30%");
    const Result fresh = shop.run({"send", "1", shop.file("O1003.TC")});
    EXPECT_EQ(fresh.code, 0) << fresh.err.toStdString();
    EXPECT_EQ(machine.program("O1003"), QByteArray("M30"));

    // Files that cannot be sent are usage errors, before anything is sent.
    const Result missing = shop.run({"send", "--yes", "1", shop.file("O1003.TC"), shop.file("NONE.TC")});
    EXPECT_EQ(missing.code, 2);
    EXPECT_TRUE(missing.err.contains("NONE.TC"));
    shop.home.write("ncprog/NODOT", "%M30%");
    EXPECT_EQ(shop.run({"send", "--yes", "1", shop.file("NODOT")}).code, 2);
    EXPECT_EQ(shop.log().count("Begär sändning av fil:"), 5);  // none for the usage errors
}

TEST(Verbs, FetchReplacesOnlyWhenAllowed) {
    Machine machine;
    machine.store("O2002", "O2002\r\nG1 X5\r\nM30");
    machine.store("O2003", "O2003\r\nM30");
    Shop shop(machine.port);

    const Result fetched = shop.run({"fetch", "1", "O2002"});
    EXPECT_EQ(fetched.code, 0) << fetched.err.toStdString();
    EXPECT_EQ(shop.local("O2002.TC"), QByteArray("O2002\r\nG1 X5\r\nM30"));
    EXPECT_TRUE(fetched.err.contains("Mottagning klar ('O2002')"));

    // An existing file stays without --yes (a refusal is a failure), and is replaced with it.
    shop.home.write("ncprog/O2002.TC", "LOCAL");
    const Result kept = shop.run({"fetch", "1", "O2002", "O2003"});
    EXPECT_EQ(kept.code, 1);
    EXPECT_EQ(shop.local("O2002.TC"), QByteArray("LOCAL"));
    EXPECT_EQ(shop.local("O2003.TC"), QByteArray("O2003\r\nM30"));
    EXPECT_TRUE(kept.err.contains("\"O2002\" hämtades inte."));
    EXPECT_EQ(shop.run({"fetch", "--yes", "1", "O2002"}).code, 0);
    EXPECT_EQ(shop.local("O2002.TC"), QByteArray("O2002\r\nG1 X5\r\nM30"));

    const QString elsewhere = shop.home.file("elsewhere");
    QDir().mkpath(elsewhere);
    const Result to = shop.run({"fetch", "1", "O2003", "--to", elsewhere});
    EXPECT_EQ(to.code, 0) << to.err.toStdString();
    EXPECT_EQ(shop.home.read("elsewhere/O2003.TC"), QByteArray("O2003\r\nM30"));
    EXPECT_EQ(shop.run({"fetch", "1", "O2003", "--to", shop.home.file("nowhere")}).code, 2);

    const Result lacking = shop.run({"fetch", "1", "O9999"});
    EXPECT_EQ(lacking.code, 1);
    EXPECT_TRUE(lacking.err.contains("Programmet finns inte i maskinen."));
    EXPECT_FALSE(shop.home.exists("ncprog/O9999.TC"));

    // Names that are no program names never reach the machine or the disk.
    const qsizetype before = shop.log().size();
    for (const QString& bad : {QString("../O2002"), QString("O12345678"), QString("O\u4E00")}) {
        const Result r = shop.run({"fetch", "--yes", "1", bad});
        EXPECT_EQ(r.code, 2) << bad.toStdString();
        EXPECT_TRUE(r.err.contains("ogiltigt programnamn")) << r.err.toStdString();
    }
    EXPECT_EQ(shop.log().size(), before);
    EXPECT_FALSE(shop.home.exists("O2002.TC"));
}

TEST(Verbs, DeleteRemovesAndShowsTheMachinesError) {
    Machine machine;
    machine.store("O2002", "M30");
    machine.store("O2003", "M30");
    Shop shop(machine.port);

    const Result deleted = shop.run({"delete", "1", "O2002"});
    EXPECT_EQ(deleted.code, 0) << deleted.err.toStdString();
    EXPECT_FALSE(machine.has("O2002"));
    EXPECT_TRUE(machine.has("O2003"));
    EXPECT_TRUE(deleted.err.contains("Radering utförd ('O2002')."));
    EXPECT_TRUE(shop.log().contains("Begär borttagning av fil: O2002"));

    // A missing program fails with the machine's text; the next one is still deleted.
    const Result partly = shop.run({"delete", "1", "O9999", "O2003"});
    EXPECT_EQ(partly.code, 1);
    EXPECT_TRUE(partly.err.contains("Överföringsfel:\nProgrammet finns inte i maskinen.")) << partly.err.toStdString();
    EXPECT_TRUE(partly.err.contains("\"O9999\" raderades inte."));
    EXPECT_FALSE(machine.has("O2003"));
    EXPECT_EQ(shop.run({"delete", "1", "O1/O2"}).code, 2);
}

TEST(Verbs, SilentMachineEndsInTheTimeOut) {
    Machine machine({"--fault", "silent"});
    Shop shop(machine.port, 200);
    shop.home.write("other/O1.TC", "%M30%");  // not where the fetch would land
    for (const QStringList& args :
         {QStringList{"fetch", "1", "O1"}, QStringList{"dir", "1"}, QStringList{"delete", "1", "O1"},
          QStringList{"send", "--yes", "1", shop.home.file("other/O1.TC")}}) {
        const Result r = shop.run(args);
        EXPECT_TRUE(r.finished) << args.join(' ').toStdString();
        EXPECT_EQ(r.code, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("Inget svar från maskinen (timeout).")) << r.err.toStdString();
    }
}

TEST(Verbs, ServeAnswersTheMachineUntilSignalled) {
    Shop shop(1);
    shop.home.write("ncprog/O3003.TC", "%O3003\r\nM30%");
    QProcess serve;
    serve.setProcessEnvironment(Environment());
    serve.start(Binary("Fenmo32"), {"--home", shop.home.path(), "serve"});
    const QString port = AwaitLine(serve, "LISTENING");
    ASSERT_FALSE(port.isEmpty()) << serve.readAllStandardError().toStdString();
    EXPECT_EQ(SimLoads({"--tcp-connect", "127.0.0.1:" + port}), QByteArray("O3003\r\nM30"));

    serve.terminate();  // SIGTERM
    ASSERT_TRUE(serve.waitForFinished(kProcessMs));
    EXPECT_EQ(serve.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(serve.exitCode(), 0);
    const QString log = shop.log();
    EXPECT_TRUE(log.contains("Programmet startat."));
    EXPECT_TRUE(log.contains("Skickar fil: O3003"));
    EXPECT_TRUE(log.trimmed().endsWith("Programmet avslutat."));

    // A taken port ends serve with the window's message.
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::Any));
    Shop busy(1, 20000, taken.serverPort());
    const Result r = busy.run({"serve", "Fräs 1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("Den inställda porten är upptagen.")) << r.err.toStdString();
    EXPECT_TRUE(busy.log().contains("Programmet avslutat."));
}

TEST(Verbs, SerialMachineOnAPseudoTerminal) {
    PtyPair pty;
    QString why;
    ASSERT_TRUE(pty.start(&why)) << why.toStdString();
    TestHome home;
    const QByteArray programs = home.file("ncprog").toUtf8();
    QDir().mkpath(home.file("ncprog"));
    // A pseudo-terminal has no modem lines: CTS counts as present.
    home.write("Fenmo32.INI",
               "[Program]\r\nListenPort=0\r\nIgnoreCts=True\r\nRecTimeout=20000\r\nSvarTimeout=20000\r\n"
               "[ComPorts]\r\nCOM5=" +
                   pty.a.toUtf8() + "\r\n[Maskin 2]\r\nNamn=Svarv\r\nTyp=1\r\nComPort=5\r\nSendPath=" + programs +
                   "\r\nRecPath=" + programs + "\r\nExtension=NC\r\nRecTimeout=20000\r\n");
    home.write("ncprog/O3003.NC", "%O3003\r\nM30%");

    QProcess serve;
    serve.setProcessEnvironment(Environment());
    serve.start(Binary("Fenmo32"), {"--home", home.path(), "serve", "2"});
    ASSERT_FALSE(AwaitLine(serve, "LISTENING").isEmpty()) << serve.readAllStandardError().toStdString();
    EXPECT_EQ(SimLoads({"--serial", pty.b}), QByteArray("O3003\r\nM30"));
    serve.terminate();
    ASSERT_TRUE(serve.waitForFinished(kProcessMs));
    EXPECT_EQ(serve.exitCode(), 0);

    // The operator's verbs over the same line, while the shop server holds
    // its port: they go through the server.
    serve.start(Binary("Fenmo32"), {"--home", home.path(), "serve", "--all"});
    ASSERT_FALSE(AwaitLine(serve, "LISTENING").isEmpty()) << serve.readAllStandardError().toStdString();
    Machine machine({}, pty.b);
    machine.store("O7", "O7\r\nM30");
    const Result dir = Fenmo(home.path(), {"dir", "Svarv"});
    EXPECT_EQ(dir.code, 0) << dir.err.toStdString();
    EXPECT_EQ(dir.out, "O7\t0\n");
    const Result fetch = Fenmo(home.path(), {"fetch", "Svarv", "O7"});
    EXPECT_EQ(fetch.code, 0) << fetch.err.toStdString();
    EXPECT_EQ(home.read("ncprog/O7.NC"), QByteArray("O7\r\nM30"));
    const Result send = Fenmo(home.path(), {"send", "--yes", "Svarv", home.file("ncprog/O3003.NC")});
    EXPECT_EQ(send.code, 0) << send.err.toStdString();
    EXPECT_EQ(machine.program("O3003"), QByteArray("O3003\r\nM30"));
    EXPECT_EQ(home.read("fenmo32.log").count("annat program: "), 3);
    serve.terminate();
    ASSERT_TRUE(serve.waitForFinished(kProcessMs));
}

TEST(Verbs, PrintListWritesThePdf) {
    TestHome home;
    const QString folder = home.file("ncprog"), pdf = home.file("lista.pdf");
    home.write("ncprog/O1.TC", "%O1(AXEL 12)\r\nG0\r\n%");
    home.write("ncprog/O2.TC", "%O2\r\nG0\r\n%");
    QDir().mkpath(home.file("tom"));

    const Result r = Fenmo(home.path(), {"print-list", folder, "--pdf", pdf});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    QProcess text;
    text.start("pdftotext", {"-layout", pdf, "-"});
    ASSERT_TRUE(text.waitForFinished(kProcessMs));
    // The folder's list (the page itself: PrintList tests).
    const QString out = QString::fromUtf8(text.readAllStandardOutput());
    EXPECT_TRUE(out.contains(QDir(folder).absolutePath()) && out.contains("AXEL 12") && out.contains("O2.TC"))
        << out.toStdString();

    const Result missing = Fenmo(home.path(), {"print-list", home.file("saknas"), "--pdf", pdf});
    EXPECT_EQ(missing.code, 2);
    EXPECT_TRUE(missing.err.contains("mappen \"" + home.file("saknas") + "\" finns inte.")) << missing.err.toStdString();
    for (const QStringList& usage : {QStringList{"print-list", folder}, QStringList{"dir", "1", "--pdf", pdf},
                                     QStringList{"print-list", folder, home.file("tom"), "--pdf", pdf}})
        EXPECT_EQ(Fenmo(home.path(), usage).code, 2) << usage.join(' ').toStdString();
    // A file that cannot be written, or a full disk: told in Swedish, exit 1, no cut file.
    for (const auto& [target, why] : {std::pair{home.file("ingen/mapp.pdf"), "Det gick inte att hitta sökvägen (fel 76)"},
                                      std::pair{QString("/dev/full"), "Disken är full (fel 61)"}}) {
        const Result failed = Fenmo(home.path(), {"print-list", folder, "--pdf", target});
        EXPECT_EQ(failed.code, 1) << target.toStdString();
        EXPECT_TRUE(failed.err.contains("kunde inte skriva ut till \"" + target + "\": " + why + ".")) << failed.err.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(home.file("ingen")));
}

TEST(Verbs, HistoryListsNewestFirstAndRestorePutsAVersionBack) {
    TestHome home;
    const QString file = home.write("ncprog/O1.TC", "%O1\r\nG0\r\n%");
    ASSERT_TRUE(KeepVersion(file, "MASKIN 1").ok);
    home.write("ncprog/O1.TC", "%O1\r\nG1\r\n%");
    ASSERT_TRUE(KeepVersion(file, "Kommentar").ok);
    home.write("ncprog/O1.TC", "ny");

    const Result list = Fenmo(home.path(), {"history", file});
    EXPECT_EQ(list.code, 0) << list.err.toStdString();
    const QStringList lines = list.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << list.out.toStdString();
    const QRegularExpression line("^(\\d+)\t\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\t10\t(.*)$");
    const auto first = line.match(lines[0]), second = line.match(lines[1]);
    ASSERT_TRUE(first.hasMatch() && second.hasMatch()) << list.out.toStdString();
    EXPECT_EQ(first.captured(1) + first.captured(2), "2Kommentar");
    EXPECT_EQ(second.captured(1) + second.captured(2), "1MASKIN 1");

    EXPECT_EQ(Fenmo(home.path(), {"restore", file, "1"}).code, 0);
    EXPECT_EQ(home.read("ncprog/O1.TC"), "%O1\r\nG0\r\n%");
    const Result missing = Fenmo(home.path(), {"restore", file, "9"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(missing.err.contains("Versionen finns inte i historiken.")) << missing.err.toStdString();
    EXPECT_EQ(Fenmo(home.path(), {"restore", file, "x"}).code, 2);
    EXPECT_EQ(Fenmo(home.path(), {"history"}).code, 2);
}

TEST(Verbs, CompareTellsEachProgramAndExitsByTheDifference) {
    Machine machine;
    machine.store("O1", "G0X1\r\nM30\r\n");
    machine.store("O2", "G0X2\nM30\n");
    Shop shop(machine.port);
    shop.home.write("ncprog/O1.TC", "G0X1\r\nM30\r\n");
    shop.home.write("ncprog/O2.TC", "G0X2\r\nM30\r\n");
    shop.home.write("ncprog/O9.TC", "M30\r\n");
    // Programs only the library holds leave the status at 0.
    const Result same = shop.run({"compare", "Fräs 1"});
    EXPECT_EQ(same.code, 0) << same.err.toStdString();
    EXPECT_EQ(same.out, "O1\tLika\nO2\tLika\nO9\tBara i biblioteket\n");

    machine.store("O3", "M30\r\n");
    const QString other = shop.home.file("annan");
    QDir().mkpath(other);
    shop.home.write("annan/O1.TC", "G0X1\r\nM30\r\n");
    shop.home.write("annan/O2.TC", "G0X2\r\nM31\r\n");
    const Result differs = shop.run({"compare", "1", "--folder", other});
    EXPECT_EQ(differs.code, 1) << differs.err.toStdString();
    EXPECT_EQ(differs.out, "O1\tLika\nO2\tOlika\trad 2: 'M31' / 'M30'\nO3\tBara i maskinen\n");
    EXPECT_EQ(shop.home.read("annan/O2.TC"), "G0X2\r\nM31\r\n");
    EXPECT_EQ(Fenmo(shop.home.path(), {"dir", "1", "--folder", other}).code, 2);
}
