// The command-line verbs end to end: the built Fenmo32 against the simulated
// machine, each as its own process, in a throw-away program folder.
#include "app/version.h"
#include "jobs/journal.h"
#include "library/history.h"
#include "support/ptypair.h"
#include "support/simprocess.h"
#include "support/testhome.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTcpServer>

namespace {

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

using Machine = SimProcess;

// A shop folder with one TCP machine "Fräs 1" in slot 1, its programs ending in .TC.
struct Shop : TestHome {
    explicit Shop(quint16 port, int timeoutMs = 20000, quint16 listenPort = 0) {
        const QByteArray t = QByteArray::number(timeoutMs);
        ini("[Program]\r\nListenPort=" + QByteArray::number(listenPort) + "\r\nSvarTimeout=" + t + "\r\nRecTimeout=" + t +
                "\r\n" +
                machine(1, "Fräs 1",
                        "Port=" + QByteArray::number(port) + "\r\nExtension=TC\r\nRecTimeout=" + t + "\r\nGetDir=True\r\n"),
            false);
        write("errors.ini", "[Errors]\r\ne08=Programmet finns inte i maskinen.\r\n");
    }
    QString log() const { return QString::fromUtf8(read("fenmo32.log")); }
    QByteArray local(const QString& name) const { return read("ncprog/" + name); }
    QString nc(const QString& name) const { return file("ncprog/" + name); }
};

}  // namespace

// Without --home: the user's data folder, whoever runs it, never the binary's
// folder; a verb without machines names the settings file it looked for.
TEST(Verbs, WithoutHomeTheUsersDataFolderIsUsedAndNamed) {
    QTemporaryDir user;
    QProcessEnvironment env = Environment();
    env.insert("HOME", user.path());
    env.insert("XDG_DATA_HOME", user.path() + "/data");
    const QString settings = user.path() + "/data/Fenmo32/Fenmo32.INI";
    const QStringList beside = Entries(QCoreApplication::applicationDirPath());
    for (const QString& text : {"inga maskiner: inställningsfilen " + settings + " finns inte", "inga maskiner i " + settings}) {
        for (const QStringList& args : {QStringList{"machines"}, QStringList{"serve", "--all"}}) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.setStandardInputFile(QProcess::nullDevice());
            p.start(Binary("Fenmo32"), args);
            ASSERT_TRUE(p.waitForFinished(kProcessMs));
            EXPECT_EQ(p.exitCode(), 1) << args.join(' ').toStdString();
            EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains(text)) << text.toStdString();
        }
        QFile f(settings);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));  // the folder was made; then a file without machines
    }
    EXPECT_EQ(Entries(QCoreApplication::applicationDirPath()), beside);
}

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
        const Result r = home.run(code, args);
        const QString& got = code ? r.err : r.out;
        EXPECT_TRUE(text.endsWith('\n') ? got == text : got.contains(text)) << got.toStdString();
        EXPECT_TRUE(code == 0 || r.out.isEmpty()) << args.join(' ').toStdString();
    }
    // The desktop program without a display says what to do instead of aborting.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    qunsetenv("QT_QPA_PLATFORM");
    const Result noDisplay = home.run(2, {});
    qputenv("QT_QPA_PLATFORM", platform);
    EXPECT_TRUE(noDisplay.err.contains("xvfb-run -a") && noDisplay.err.contains("Fenmo32 --help")) << noDisplay.err.toStdString();
    EXPECT_EQ(home.read("Fenmo32.INI"), ini);  // listing selects nothing
}

TEST(Verbs, SendDeliversFilesOneAfterTheOther) {
    Machine machine;
    Shop shop(machine.port);
    // 8-bit text and no line end before the closing "%": kept byte for byte.
    const QByteArray first("O1001 (\xC5\xC4\xD6)\r\nG0 X1.5\r\nM30");
    shop.write("ncprog/O1001.TC", "(first)%" + first + "%");
    shop.write("other/O1002.TC", "%O1002\r\nG1 Z-2\r\nM30%");

    shop.run(0, {"send", "--yes", "1", shop.nc("O1001.TC"), shop.file("other/O1002.TC")});
    EXPECT_EQ(machine.program("O1001"), first);
    EXPECT_EQ(machine.program("O1002"), QByteArray("O1002\r\nG1 Z-2\r\nM30"));
    // The second was asked for only after the machine answered the first.
    const QString log = shop.log();
    const qsizetype answer1 = log.indexOf("Inkommande kommando: RSAVO100100");
    EXPECT_GT(answer1, log.indexOf("Begär sändning av fil: O1001.TC"));
    EXPECT_GT(log.indexOf("Begär sändning av fil: O1002.TC"), answer1);
    EXPECT_FALSE(log.contains("Begär fillista."));  // --yes needs no list

    // The machine holds O1001: --no, and no answer at all off a terminal, refuse.
    shop.write("ncprog/O1001.TC", "%CHANGED%");
    for (const QStringList& flag : {QStringList{"--no"}, QStringList()}) {
        const Result refused = shop.run(1, QStringList{"send", "Fräs 1", shop.nc("O1001.TC")} + flag);
        EXPECT_TRUE(refused.err.contains("Filen finns redan i maskinen. Skriva över? Nej")) << refused.err.toStdString();
        EXPECT_EQ(machine.program("O1001"), first);
    }
    // A program the machine lacks goes out after the list was asked for.
    shop.write("ncprog/O1003.TC", "%M30%");
    shop.run(0, {"send", "1", shop.nc("O1003.TC")});
    EXPECT_EQ(machine.program("O1003"), QByteArray("M30"));

    // Files that cannot be sent are usage errors, before anything is sent.
    EXPECT_TRUE(shop.run(2, {"send", "--yes", "1", shop.nc("O1003.TC"), shop.nc("NONE.TC")}).err.contains("NONE.TC"));
    shop.write("ncprog/NODOT", "%M30%");
    shop.run(2, {"send", "--yes", "1", shop.nc("NODOT")});
    EXPECT_EQ(shop.log().count("Begär sändning av fil:"), 5);  // none for the usage errors
}

TEST(Verbs, DirFetchAndDeleteOnOneMachine) {
    Machine machine;
    machine.store("O1001", QByteArray(256, 'X'));
    machine.store("O2002", "O2002\r\nG1 X5\r\nM30");
    machine.store("O2003", "O2003\r\nM30");
    Shop shop(machine.port);
    const Result dir = shop.run(0, {"dir", "Fräs 1"});
    EXPECT_EQ(dir.out, "O1001\t2\nO2002\t0\nO2003\t0\n");
    EXPECT_TRUE(dir.err.contains("Fillista klar."));
    // Selected as the window selects: remembered, and logged as the window logs.
    EXPECT_TRUE(shop.read("Fenmo32.INI").contains("LastMachine=Fräs 1"));
    EXPECT_EQ(shop.log().count("Begär fillista."), 1);
    EXPECT_EQ(shop.log().count("Inkommande kommando: RDRQALL00"), 1);

    EXPECT_TRUE(shop.run(0, {"fetch", "1", "O2002"}).err.contains("Mottagning klar ('O2002')"));
    EXPECT_EQ(shop.local("O2002.TC"), QByteArray("O2002\r\nG1 X5\r\nM30"));

    // An existing file stays without --yes (a refusal is a failure), and is replaced with it.
    shop.write("ncprog/O2002.TC", "LOCAL");
    EXPECT_TRUE(shop.run(1, {"fetch", "1", "O2002", "O2003"}).err.contains("\"O2002\" hämtades inte."));
    EXPECT_EQ(shop.local("O2002.TC"), QByteArray("LOCAL"));
    EXPECT_EQ(shop.local("O2003.TC"), QByteArray("O2003\r\nM30"));
    shop.run(0, {"fetch", "--yes", "1", "O2002"});
    EXPECT_EQ(shop.local("O2002.TC"), QByteArray("O2002\r\nG1 X5\r\nM30"));

    QDir().mkpath(shop.file("elsewhere"));
    shop.run(0, {"fetch", "1", "O2003", "--to", shop.file("elsewhere")});
    EXPECT_EQ(shop.read("elsewhere/O2003.TC"), QByteArray("O2003\r\nM30"));
    shop.run(2, {"fetch", "1", "O2003", "--to", shop.file("nowhere")});

    EXPECT_TRUE(shop.run(1, {"fetch", "1", "O9999"}).err.contains("Programmet finns inte i maskinen."));
    EXPECT_FALSE(shop.exists("ncprog/O9999.TC"));

    // Names that are no program names never reach the machine or the disk.
    const qsizetype before = shop.log().size();
    for (const QString& bad : {QString("../O2002"), QString("O12345678"), QString("O\u4E00")})
        EXPECT_TRUE(shop.run(2, {"fetch", "--yes", "1", bad}).err.contains("ogiltigt programnamn")) << bad.toStdString();
    EXPECT_EQ(shop.log().size(), before);
    EXPECT_FALSE(shop.exists("O2002.TC"));

    // Without a terminal to ask on, delete refuses unless --yes says it; nothing reaches the machine.
    const qsizetype unasked = shop.log().size();
    EXPECT_TRUE(shop.run(1, {"delete", "1", "O2002"}).err.contains("inget raderades: delete frågar på terminalen"));
    EXPECT_TRUE(machine.has("O2002"));
    EXPECT_EQ(shop.log().size(), unasked);
    EXPECT_TRUE(shop.run(0, {"delete", "--yes", "1", "O2002"}).err.contains("Radering utförd ('O2002')."));
    EXPECT_FALSE(machine.has("O2002"));
    EXPECT_TRUE(machine.has("O2003"));
    EXPECT_TRUE(shop.log().contains("Begär borttagning av fil: O2002"));

    // A missing program fails with the machine's text; the next one is still deleted.
    const Result partly = shop.run(1, {"delete", "--yes", "1", "O9999", "O2003"});
    EXPECT_TRUE(partly.err.contains("Överföringsfel:\nProgrammet finns inte i maskinen.")) << partly.err.toStdString();
    EXPECT_TRUE(partly.err.contains("\"O9999\" raderades inte."));
    EXPECT_FALSE(machine.has("O2003"));
    shop.run(2, {"delete", "--yes", "1", "O1/O2"});
}

TEST(Verbs, SilentMachineEndsInTheTimeOut) {
    Machine machine({"--fault", "silent"});
    Shop shop(machine.port, 200);
    shop.write("other/O1.TC", "%M30%");  // not where the fetch would land
    for (const QStringList& args : {QStringList{"fetch", "1", "O1"}, QStringList{"dir", "1"}, QStringList{"delete", "--yes", "1", "O1"},
                                    QStringList{"send", "--yes", "1", shop.file("other/O1.TC")}}) {
        const Result r = shop.run(1, args);
        EXPECT_TRUE(r.finished) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("Inget svar från maskinen (timeout).")) << r.err.toStdString();
    }
}

// serve on a TCP machine and on a serial one (a pseudo-terminal has no modem
// lines: CTS counts as present) until SIGTERM.
TEST(Verbs, ServeAnswersTheMachineUntilSignalled) {
    PtyPair pty;
    ASSERT_TRUE(pty.start());
    Shop shop(1);
    shop.write("ncprog/O3003.TC", "%O3003\r\nM30%");
    TestHome serial;
    serial.ini("IgnoreCts=True\r\nRecTimeout=20000\r\nSvarTimeout=20000\r\n[ComPorts]\r\nCOM5=" + pty.a.toUtf8() + "\r\n" +
               serial.machine(2, "Svarv", "Typ=1\r\nComPort=5\r\nRecTimeout=20000\r\n"));
    serial.write("ncprog/O3003.NC", "%O3003\r\nM30%");
    for (const TestHome* home : {static_cast<TestHome*>(&shop), &serial}) {
        const bool tty = home == &serial;
        QProcess serve;
        const quint16 port = home->serve(serve, tty ? QStringList{"2"} : QStringList());
        ASSERT_NE(port, 0);
        EXPECT_EQ(SimLoads(tty ? QStringList{"--serial", pty.b} : QStringList{"--tcp-connect", "127.0.0.1:" + QString::number(port)}),
                  QByteArray("O3003\r\nM30"));
        serve.terminate();
        ASSERT_TRUE(serve.waitForFinished(kProcessMs));
        EXPECT_EQ(serve.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(serve.exitCode(), 0);
        const QString log = QString::fromUtf8(home->read("fenmo32.log"));
        EXPECT_TRUE(log.contains("Programmet startat.") && log.contains("Skickar fil: O3003")) << log.toStdString();
        EXPECT_TRUE(log.trimmed().endsWith("Programmet avslutat."));
    }

    // While the shop server holds the serial port, the operator's verbs go through it.
    QProcess server;
    ASSERT_NE(serial.serve(server, {"--all"}), 0);
    Machine machine({}, pty.b);
    machine.store("O7", "O7\r\nM30");
    EXPECT_EQ(serial.run(0, {"dir", "Svarv"}).out, "O7\t0\n");
    serial.run(0, {"fetch", "Svarv", "O7"});
    EXPECT_EQ(serial.read("ncprog/O7.NC"), QByteArray("O7\r\nM30"));
    serial.run(0, {"send", "--yes", "Svarv", serial.file("ncprog/O3003.NC")});
    EXPECT_EQ(machine.program("O3003"), QByteArray("O3003\r\nM30"));
    EXPECT_EQ(serial.read("fenmo32.log").count("annat program: "), 3);
    // The PC's own send counts as the server's last transfer.
    EXPECT_TRUE(WaitUntil([&] { return serial.read("fenmo32-server.json").contains("\"name\": \"O3003\""); }));
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(kProcessMs));

    // A taken port ends serve with the window's message.
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::Any));
    Shop busy(1, 20000, taken.serverPort());
    EXPECT_TRUE(busy.run(1, {"serve", "Fräs 1"}).err.contains("Den inställda porten är upptagen."));
    EXPECT_TRUE(busy.log().contains("Programmet avslutat."));
}

TEST(Verbs, PrintListWritesThePdf) {
    TestHome home;
    const QString folder = home.file("ncprog"), pdf = home.file("lista.pdf");
    home.write("ncprog/O1.TC", "%O1(AXEL 12)\r\nG0\r\n%");
    home.write("ncprog/O2.TC", "%O2\r\nG0\r\n%");
    QDir().mkpath(home.file("tom"));

    home.run(0, {"print-list", folder, "--pdf", pdf});
    QProcess text;
    text.start("pdftotext", {"-layout", pdf, "-"});
    ASSERT_TRUE(text.waitForFinished(kProcessMs));
    // The folder's list (the page itself: PrintList tests).
    const QString out = QString::fromUtf8(text.readAllStandardOutput());
    EXPECT_TRUE(out.contains(QDir(folder).absolutePath()) && out.contains("AXEL 12") && out.contains("O2.TC"))
        << out.toStdString();

    const Result missing = home.run(2, {"print-list", home.file("saknas"), "--pdf", pdf});
    EXPECT_TRUE(missing.err.contains("mappen \"" + home.file("saknas") + "\" finns inte.")) << missing.err.toStdString();
    for (const QStringList& usage : {QStringList{"print-list", folder}, QStringList{"dir", "1", "--pdf", pdf},
                                     QStringList{"print-list", folder, home.file("tom"), "--pdf", pdf}})
        home.run(2, usage);
    // A file that cannot be written, or a full disk: told in Swedish, exit 1, no cut file.
    for (const auto& [target, why] : {std::pair{home.file("ingen/mapp.pdf"), "Det gick inte att hitta sökvägen (fel 76)"},
                                      std::pair{QString("/dev/full"), "Disken är full (fel 61)"}}) {
        const Result failed = home.run(1, {"print-list", folder, "--pdf", target});
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

    // The present file, then the versions, each with its text's SHA-256 (what follows the "%").
    const QStringList lines = home.run(0, {"history", file}).out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith("nu\t")) << lines[0].toStdString();
    const QRegularExpression line("^(\\d+)\t\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\t10\t(.*)\t([0-9a-f]{64})$");
    const auto first = line.match(lines[1]), second = line.match(lines[2]);
    ASSERT_TRUE(first.hasMatch() && second.hasMatch()) << lines.join('\n').toStdString();
    EXPECT_EQ(first.captured(1) + first.captured(2), "2Kommentar");
    EXPECT_EQ(second.captured(1) + second.captured(2), "1MASKIN 1");
    EXPECT_EQ(first.captured(3), QCryptographicHash::hash("O1\r\nG1\r\n", QCryptographicHash::Sha256).toHex());
    const QString json = home.run(0, {"history", "--json", file}).out.split('\n').value(2);
    EXPECT_TRUE(json.startsWith("{\"date\":") && json.contains("\"id\":1,") && json.contains(second.captured(3))) << json.toStdString();

    home.run(0, {"restore", file, "1"});
    EXPECT_EQ(home.read("ncprog/O1.TC"), "%O1\r\nG0\r\n%");
    EXPECT_TRUE(home.run(1, {"restore", file, "9"}).err.contains("Versionen finns inte i historiken."));
    home.run(2, {"restore", file, "x"});
    home.run(2, {"history"});
}

// The README's recipe, as written: which version of a program went to a machine.
TEST(Verbs, TraceabilityRecipeFindsTheVersionThatWentOut) {
    Machine machine;
    Shop shop(machine.port);
    const QString file = shop.write("ncprog/O1000.TC", "(AXEL)%O1000\r\nG0 X1\r\n%");
    shop.run(0, {"send", "--yes", "Fräs 1", file});
    // An edit keeps the version that went out; the new one goes out too.
    ASSERT_TRUE(KeepVersion(file, "Kommentar").ok);
    shop.write("ncprog/O1000.TC", "(AXEL)%O1000\r\nG0 X2\r\n%");
    shop.run(0, {"send", "--yes", "Fräs 1", file});

    const QString today = QDate::currentDate().toString(Qt::ISODate);
    QStringList sent;  // newest first: the first 12 hex digits of each send's SHA-256
    for (const QString& row : shop.run(0, {"jobs", "Fräs 1", "--since", today}).out.split('\n', Qt::SkipEmptyParts))
        if (const auto m = QRegularExpression("\tsend\tdone\t[^\t]*\tO1000 \\d+ B ([0-9a-f]{12}) ok").match(row); m.hasMatch())
            sent << m.captured(1);
    ASSERT_EQ(sent.size(), 2);
    EXPECT_NE(sent[0], sent[1]);
    const QStringList history = shop.run(0, {"history", file}).out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(history.size(), 2);
    // The last send took the present file; the first, the version kept after it.
    EXPECT_TRUE(history[0].section('\t', 4).startsWith(sent[0])) << history[0].toStdString();
    EXPECT_TRUE(history[1].section('\t', 4).startsWith(sent[1])) << history[1].toStdString();
}

// Who sent which program text where and when, from the journal alone.
TEST(Verbs, JobsPrintsTheJournalNewestFirst) {
    TestHome home;
    home.write("Fenmo32.INI", "[Maskin 1]\r\nNamn=Fräs 1\r\nTyp=0\r\nIP=127.0.0.1\r\nPort=1\r\n");
    Journal journal(home.file("journal"));
    Job send{"j1", "Fräs 1", JobKind::Send, "verb anna", JobState::Done, {}, {}, {}, "Sändning klar", {}};
    send.created = send.started = QDateTime::fromString("2026-12-08T09:14:02Z", Qt::ISODate);
    send.programs = {{"O1000", home.file("ncprog/O1000.TC"), 1234, "3fa9c1d2e4b5aaaa", ProgramResult::Ok, "ok"},
                     {"O2000", {}, 0, {}, ProgramResult::Missing, "finns inte"}};
    Job store{"j2", "Svarv", JobKind::MachineStore, "maskin 127.0.0.3", JobState::Running, {}, {}, {}, "rad\u0085slut", {}};
    store.created = store.started = QDateTime::fromString("2026-12-09T13:00:00Z", Qt::ISODate);
    journal.started(send);
    journal.ended(send);
    journal.started(store);
    const QString sendLine = send.started.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") +
                             "\tFräs 1\tsend\tdone\tverb anna\tO1000 1234 B 3fa9c1d2e4b5 ok; O2000 0 B missing\tSändning klar\n";
    const std::tuple<QStringList, int, QString> runs[] = {
        {{"jobs", "1"}, 0, sendLine},
        {{"jobs", "--since", "2026-12-09"}, 0, "\tSvarv\tmachine-store\trunning\tmaskin 127.0.0.3\t\trad<85>slut\n"},
        {{"jobs", "--since", "2026-12-08T09:14:03Z"}, 0, "\tSvarv\tmachine-store\trunning\tmaskin 127.0.0.3\t\trad<85>slut\n"},
        {{"jobs", "--since", "2026-12-08 10:14:02+01:00"}, 0, "running\tmaskin 127.0.0.3\t\trad<85>slut\n" + sendLine},
        {{"jobs"}, 0, "running\tmaskin 127.0.0.3\t\trad<85>slut\n" + sendLine},
        {{"jobs", "--since", "igår"}, 2, "\"igår\" är inget datum"},
        {{"jobs", "--since", "2026-12-08T25:00"}, 2, "är inget datum"},
        {{"dir", "1", "--json"}, 2, "--json hör till jobs och history."}};
    for (const auto& [args, code, text] : runs) {
        const Result r = home.run(code, args);
        const QString& got = code ? r.err : r.out;
        EXPECT_TRUE(text.endsWith('\n') ? got.endsWith(text) && got.count('\n') == text.count('\n') : got.contains(text))
            << args.join(' ').toStdString() << ": " << got.toStdString();
    }
    // --json: the journal's line itself, U+0085 and all.
    const QByteArray lines = home.read("journal/2026-12.jsonl");
    EXPECT_EQ(home.run(0, {"jobs", "Svarv", "--json"}).out.toUtf8(), lines.mid(lines.lastIndexOf('\n', -2) + 1));
    // Cut at 1,000 rows: standard error says how many were left out.
    Job more = store;
    for (int i = 0; i < 1000; ++i) {
        more.id = QString("m%1").arg(i);
        more.created = store.created.addSecs(60 + i);
        journal.record(more);
    }
    const Result cut = home.run(0, {"jobs"});
    EXPECT_EQ(cut.out.count('\n'), 1000);
    EXPECT_TRUE(cut.err.contains("2 äldre jobb visas inte (högst 1000 rader)")) << cut.err.toStdString();
}

TEST(Verbs, CompareTellsEachProgramAndExitsByTheDifference) {
    Machine machine;
    machine.store("O1", "G0X1\r\nM30\r\n");
    machine.store("O2", "G0X2\nM30\n");
    Shop shop(machine.port);
    shop.write("ncprog/O1.TC", "G0X1\r\nM30\r\n");
    shop.write("ncprog/O2.TC", "G0X2\r\nM30\r\n");
    shop.write("ncprog/O9.TC", "M30\r\n");
    // Programs only the library holds leave the status at 0.
    EXPECT_EQ(shop.run(0, {"compare", "Fräs 1"}).out, "O1\tLika\nO2\tLika\nO9\tBara i biblioteket\n");

    machine.store("O3", "M30\r\n");
    shop.write("annan/O1.TC", "G0X1\r\nM30\r\n");
    shop.write("annan/O2.TC", "G0X2\r\nM31\r\n");
    EXPECT_EQ(shop.run(1, {"compare", "1", "--folder", shop.file("annan")}).out,
              "O1\tLika\nO2\tOlika\trad 2: 'M31' / 'M30'\nO3\tBara i maskinen\n");
    EXPECT_EQ(shop.read("annan/O2.TC"), "G0X2\r\nM31\r\n");
    shop.run(2, {"dir", "1", "--folder", shop.file("annan")});
}
