// The shop server as a system service runs it, end to end with the real
// program: a full disk, a private /tmp, a stale lock, SIGHUP, machine
// addresses and serial lines that hang up or are set wrong.
#include "../link/stationfixture.h"
#include "support/ptypair.h"
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QStandardPaths>
#include <csignal>
#include <unistd.h>

namespace {
// A command's exit status; -1 when it could not run.
int Shell(const QString& command) {
    QProcess p;
    p.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    if (!p.waitForFinished(kProcessMs)) return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// The state file's port, 0 when the file is not whole json.
int StatePort(const TestHome& home) {
    return QJsonDocument::fromJson(home.read("fenmo32-server.json")).object().value("port").toInt();
}

// A connection from a loopback address that the server closes at once; true once closed.
bool Knock(quint16 port, const char* from) {
    QTcpSocket socket;
    if (!socket.bind(QHostAddress(QString::fromLatin1(from)))) return false;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return WaitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; });
}

QString Log(const TestHome& home) { return QString::fromUtf8(home.read("fenmo32.log")); }

// A tmpfs of 256 KB over a folder, unmounted at the end.
struct SmallDisk {
    QString path;
    bool mounted = false;
    explicit SmallDisk(const QString& p) : path(p) {
        mounted = Shell(QStringLiteral("mount -t tmpfs -o size=256k tmpfs '%1' 2>/dev/null").arg(path)) == 0;
    }
    void fill() const { Shell(QStringLiteral("cat /dev/zero > '%1/fyllning' 2>/dev/null").arg(path)); }
    ~SmallDisk() {
        if (mounted) Shell(QStringLiteral("umount -l '%1'").arg(path));
    }
};
}  // namespace

// A full disk: no rewrite empties the settings or the state file; both stay
// as they were, and the server goes on serving.
TEST(Service, FullDiskLeavesSettingsAndStateWhole) {
    QTemporaryDir mountPoint;
    SmallDisk disk(mountPoint.path());
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root): the full-disk test did not run";
    TestHome home(mountPoint.path() + "/shop-XXXXXX");
    home.ini(home.machine(1, "Fräs A", "IP=127.0.0.2\r\n") + home.machine(2, "Fräs B", "IP=127.0.0.3\r\n"));
    const QByteArray ini = home.read("Fenmo32.INI");
    QProcess server;
    const quint16 port = home.serve(server, {"--all"});
    ASSERT_TRUE(WaitUntil([&] { return StatePort(home) == port; }));
    const QByteArray state = home.read("fenmo32-server.json");

    disk.fill();
    // A verb that selects another machine rewrites LastMachine.
    home.run({"dir", "Fräs B"});
    EXPECT_EQ(home.read("Fenmo32.INI"), ini);
    // A request changes the state: it cannot be written, the old one stays.
    Peer a;
    ASSERT_TRUE(a.connectTo(port, "127.0.0.2"));
    a.ask(Request("LOD", "O1"));
    Settle(800);
    EXPECT_EQ(home.read("fenmo32-server.json"), state);
    const Result status = home.run(0, {"status"});
    EXPECT_TRUE(status.out.contains(QStringLiteral("TCP-port %1").arg(port))) << status.out.toStdString();
    EXPECT_EQ(Entries(home.path()).filter(".tmp").size() + Entries(home.path()).filter("fenmo32-server.json.").size(),
              0) << Entries(home.path()).join(' ').toStdString();
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(kProcessMs));
    EXPECT_EQ(server.exitCode(), 0);
}

// Under a unit with PrivateTmp the server's /tmp is its own: the verbs still
// reach it, through the socket in the program folder.
TEST(Service, VerbsReachAServerWithAPrivateTmp) {
    if (Shell("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "unshare -m is not allowed here (needs root): the private /tmp test did not run";
    PtyPair pty;
    ASSERT_TRUE(pty.start());
    // Outside /tmp, which the server will not share.
    TestHome home(QCoreApplication::applicationDirPath() + "/shop-XXXXXX");
    const QString device = QFileInfo(pty.b).symLinkTarget();
    home.ini("IgnoreCts=True\r\nSvarTimeout=300\r\nGeneralTimeout=300\r\n[ComPorts]\r\nCOM4=" + device.toUtf8() +
             "\r\n" + home.machine(1, "Svarv", "Typ=1\r\nComPort=4\r\n"));
    QProcess server;
    server.setProcessEnvironment(Environment());
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A build under /tmp (the binary and the shop beside it) is parked on
    // /mnt before /tmp is hidden, then moved into the private /tmp: mount
    // takes a path, not a descriptor, and would bind the new empty folder.
    server.start("unshare", {"-m", "--propagation", "private", "sh", "-c",
                             "case \"$2\" in /tmp/*) mount --bind \"$2\" /mnt;; esac && mount -t tmpfs tmpfs /tmp && "
                             "case \"$2\" in /tmp/*) mkdir -p \"$2\" && mount --move /mnt \"$2\";; esac && "
                             "exec \"$0\" --home \"$1\" serve --all",
                             Binary("Fenmo32"), home.path(), QCoreApplication::applicationDirPath()});
    ASSERT_NE(AwaitLine(server, "LISTENING").toUShort(), 0);
    const QString socket = QJsonDocument::fromJson(home.read("fenmo32-server.json")).object().value("socket").toString();
    EXPECT_TRUE(socket.startsWith(home.path())) << socket.toStdString();

    const Result dir = home.run({"dir", "Svarv"});
    EXPECT_FALSE(dir.err.contains("svarar inte")) << dir.err.toStdString();
    EXPECT_TRUE(Log(home).contains("Kommando från annat program: dir")) << Log(home).toStdString();
    server.terminate();
    ASSERT_TRUE(server.waitForFinished(kProcessMs));
    EXPECT_FALSE(QFileInfo::exists(socket));
}

// A lock whose pid now belongs to some other program is no server: status
// says so, and a server starts.
TEST(Service, StaleLockWithALiveUnrelatedPid) {
    TestHome home;
    home.ini(home.machine(1, "Fräs", "IP=127.0.0.2\r\n"));
    QProcess other;
    other.start("sleep", {"60"});
    ASSERT_TRUE(other.waitForStarted());
    home.write("fenmo32-server.lock", QByteArray::number(other.processId()) + "\nFenmo32\n" +
                                          QHostInfo::localHostName().toUtf8() + "\n");
    home.write("fenmo32-server.json", "{\"pid\": " + QByteArray::number(other.processId()) + ", \"port\": 10000}");
    const Result status = home.run(3, {"status"});
    EXPECT_TRUE(status.out.contains("Ingen server kör")) << status.out.toStdString();
    QProcess server;
    EXPECT_NE(home.serve(server, {"--all"}), 0);
    server.terminate();
    server.waitForFinished(kProcessMs);
    other.kill();
    other.waitForFinished();
}

// Machine addresses are taken as written and compared exactly; a host name
// is resolved. A serial line that hangs up shows at once, an invalid setting
// read by SIGHUP is one line and a status, and SIGHUP never ends the server.
TEST(Service, AddressesSerialStateAndReload) {
    PtyPair pty;
    ASSERT_TRUE(pty.start());
    TestHome home;
    struct Machine {
        const char *name, *ip, *peer;  // peer: an address it must not get (null: none)
    };
    const Machine table[] = {{"Oktal", "127.0.0.011", "127.0.0.9"},
                             {"Kort", "127.5", "127.0.0.5"},
                             {"Sex", "::1", nullptr},
                             {"Namn", "localhost", nullptr}};
    QByteArray machines;
    int slot = 0;
    for (const Machine& m : table) {
        const QString folder = home.file(m.name);
        home.write(QString(m.name) + "/O1.NC", QByteArray("%\r\nFROM ") + m.name + "\r\n%");
        machines += home.machine(++slot, m.name,
                                 "IP=" + QByteArray(m.ip) + "\r\nSendPath=" + folder.toUtf8() + "\r\nRootPath=" +
                                     folder.toUtf8() + "\r\n");
    }
    home.ini("IgnoreCts=True\r\n[ComPorts]\r\nCOM4=" + pty.b.toUtf8() + "\r\n" + machines +
             home.machine(++slot, "Svarv", "Typ=1\r\nComPort=4\r\n"));
    // Held by this process when the server starts: named from Qt's own lock.
    auto holder = std::make_unique<QSerialPort>(pty.b);
    ASSERT_TRUE(holder->open(QIODevice::ReadWrite));
    QProcess server;
    const quint16 port = home.serve(server, {"--all"});
    ASSERT_NE(port, 0);
    EXPECT_TRUE(home.run(0, {"status"}).out.contains(
        QStringLiteral("Svarv\tportfel: %1 är upptagen av process %2").arg(pty.b).arg(::getpid())));
    holder.reset();
    ::kill(pid_t(server.processId()), SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return Log(home).contains("[Svarv] Maskinens inställningar omlästa."); }));

    for (const Machine& m : table) {
        if (!m.peer) continue;
        EXPECT_TRUE(Knock(port, m.peer)) << m.name;
    }
    Peer local;
    ASSERT_TRUE(local.connectTo(port, "127.0.0.1"));
    EXPECT_TRUE(local.ask(Request("LOD", "O1")).contains("FROM Namn"));
    for (int i = 0; i < 5; ++i) Knock(port, "127.0.0.9");
    QString status = home.run(0, {"status"}).out;
    EXPECT_TRUE(status.contains("Oktal\tbetjänas inte") && status.contains("Kort\tbetjänas inte") &&
                status.contains("Sex\tlyssnar") && status.contains("Svarv\tport öppen"))
        << status.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return Log(home).contains("127.0.0.9 nekad (ingen maskin"); }));
    EXPECT_EQ(Log(home).count("Anslutning från 127.0.0.9 nekad"), 1) << Log(home).toStdString();
    EXPECT_TRUE(Log(home).contains("Ingen giltig IP-adress ('127.0.0.011')"));
    EXPECT_TRUE(Log(home).contains(QRegularExpression("Namnet .localhost. har adresserna [^\\r]*127.0.0.1")));

    // The cable is pulled: the state says so at once, not at the next retry.
    pty.hangUp();
    EXPECT_TRUE(WaitUntil([&] { return home.read("fenmo32-server.json").contains("förbindelsen bröts"); }, 3000))
        << home.read("fenmo32-server.json").toStdString();
    EXPECT_TRUE(Log(home).contains("[Svarv] COM porten stängd:")) << Log(home).toStdString();

    // A setting made wrong and read by SIGHUP, twice: one line, one status.
    home.write("Fenmo32.INI", home.read("Fenmo32.INI").replace("Typ=1\r\nComPort=4", "Typ=1\r\nComPort=4\r\nSettings=,x,7,1"));
    for (int i = 2; i < 4; ++i) {
        ::kill(pid_t(server.processId()), SIGHUP);
        ASSERT_TRUE(WaitUntil([&] { return Log(home).count("Inställningarna läses om") == i; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return home.read("fenmo32-server.json").contains("ogiltig inställning"); }));
    status = home.run(0, {"status"}).out;
    EXPECT_TRUE(status.contains("Svarv\tportfel: ogiltig inställning BaudRate=9600, Settings=,x,7,1")) << status.toStdString();
    EXPECT_EQ(Log(home).count("Porten öppnas inte: ogiltig"), 1) << Log(home).toStdString();

    server.terminate();
    ASSERT_TRUE(server.waitForFinished(kProcessMs));
    EXPECT_EQ(server.exitCode(), 0);
    EXPECT_TRUE(Log(home).trimmed().endsWith("Programmet avslutat.")) << Log(home).toStdString();
}

// root on the service's folder would leave files the service cannot write:
// a verb that writes refuses and names the user to run it as.
TEST(Service, RootRefusesToWriteInAnotherUsersFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "not root: the refusal is root's only";
    TestHome home;
    home.ini(home.machine(1, "Fräs", "IP=127.0.0.2\r\n"));
    const QByteArray ini = home.read("Fenmo32.INI");
    ASSERT_EQ(Shell(QStringLiteral("chown -R 65534 '%1'").arg(home.path())), 0);
    const Result fetch = home.run(2, {"fetch", "Fräs", "O1"});
    EXPECT_TRUE(fetch.err.contains("som root") && fetch.err.contains("sudo -u ")) << fetch.err.toStdString();
    EXPECT_EQ(home.read("Fenmo32.INI"), ini);
    home.run(0, {"machines"});
}
