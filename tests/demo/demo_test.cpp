// The demo shop behind `make run`: the builder script and the supervisor that
// starts the simulated machines with the window and ends them with it.
#include "common/ini.h"
#include "support/testhome.h"
#include "support/wait.h"

#include <csignal>

namespace {

const QString kScripts = QStringLiteral(FENMO_SOURCE_DIR "/scripts/");
const QString kBuild = QStringLiteral(FENMO_BUILD_DIR);

bool RunShopBuilder(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("python3"), QStringList{kScripts + QStringLiteral("demo-shop")} + args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString Ini(const QString& shop, const QString& section, const QString& key) {
    return ReadIni(section, key, QString(), shop + QStringLiteral("/Fenmo32.INI"));
}

// Live processes whose command line names the folder (zombies have none).
QList<int> ProcessesNaming(const QString& folder) {
    QList<int> found;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const int n = pid.toInt(&ok);
        if (!ok) continue;
        QByteArray cmd = ReadFile(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
        if (cmd.replace('\0', ' ').contains(folder.toLocal8Bit())) found.append(n);
    }
    return found;
}

bool Gone(int pid) {
    const QByteArray stat = ReadFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// The supervisor on a shop of its own, with "sleep 600" standing in for the window.
struct Demo {
    QTemporaryDir dir;
    QString shop = dir.path() + QStringLiteral("/shop");
    QProcess supervisor;
    QByteArray out;
    int window = -1;

    // True once the machines are up and the window runs.
    bool start() {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("FENMO_DEMO_SHOP"), shop);
        e.insert(QStringLiteral("FENMO_DEMO_WINDOW"), QStringLiteral("sleep 600"));
        supervisor.setProcessEnvironment(e);
        supervisor.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&supervisor, &QProcess::readyRead, [this] { out += supervisor.readAll(); });
        supervisor.start(QStringLiteral("python3"), {kScripts + QStringLiteral("run-demo"), kBuild});
        return WaitUntil([&] { return out.contains("demoverkstaden"); }, 30000) &&
               WaitUntil([&] { return (window = child("sleep")) > 0; });
    }
    int child(const QByteArray& program) {
        for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            const QByteArray stat = ReadFile(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
            const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            if (f.size() > 1 && f[1].toLongLong() == supervisor.processId() &&
                ReadFile(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline")).startsWith(program))
                return pid.toInt();
        }
        return -1;
    }
};

}  // namespace

TEST(DemoShop, FreshShopHasTheMachinesAndASecondRunOnlyRenewsThePorts) {
    QTemporaryDir dir;
    const QString shop = dir.path() + QStringLiteral("/shop");
    ASSERT_TRUE(RunShopBuilder({shop}));

    // The machines, their links and memories: DemoRun. Here what it does not
    // reach: loopback only, and the document the first model names, in memory.
    EXPECT_EQ(Ini(shop, "Program", "ListenAddress"), "127.0.0.1");
    EXPECT_EQ(ReadIni("Dokument", "Fil1", "", shop + "/maskiner/TC-32B.dat"), "TOOLS");
    EXPECT_TRUE(QFileInfo::exists(shop + "/maskinminne/fras1/TOOLS"));

    // The operator's own change survives; only the ports are new.
    ASSERT_TRUE(WriteIni("Maskin 2", "Namn", "Svarven", shop + "/Fenmo32.INI"));
    const QByteArray before = ReadFile(shop + "/Fenmo32.INI");
    ASSERT_TRUE(RunShopBuilder({shop, "--port", "4242", "--listen-port", "4343"}));
    const QByteArray after = ReadFile(shop + "/Fenmo32.INI");
    QByteArray expected = before;
    expected.replace("Port=10001\r\n", "Port=4242\r\n").replace("ListenPort=10000\r\n", "ListenPort=4343\r\n");
    EXPECT_EQ(after, expected);

    // A shop made when the demo still listened everywhere gets loopback only.
    QFile ini(shop + "/Fenmo32.INI");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(QByteArray(after).replace("ListenAddress=127.0.0.1\r\n", ""));
    ini.close();
    ASSERT_TRUE(RunShopBuilder({shop}));
    EXPECT_EQ(Ini(shop, "Program", "ListenAddress"), "127.0.0.1");
}

TEST(DemoRun, EachMachineTakesAndGivesAProgramAndNothingIsLeftWhenTheWindowOrTheSupervisorDies) {
    Demo demo;
    ASSERT_TRUE(demo.start()) << demo.out.constData();
    // Three socat pairs and four machines.
    EXPECT_EQ(ProcessesNaming(demo.shop).size(), 7);

    // Fräs 1 over TCP, Svarv 2 in protocol 2 and Borr 3 in the colon form over pseudo-terminals.
    const QString to = demo.dir.path() + QStringLiteral("/hamtat");
    QDir().mkpath(to);
    struct Case { QString machine, memory, fetch, send; };
    for (const Case& c : {Case{"Fräs 1", "fras1", "O7500", "O1010.TC"}, Case{"Svarv 2", "svarv2", "O4500", "O4100.NC"},
                          Case{"Borr 3", "borr3", "O5400", "O5001.NC"}}) {
        const QString home = QStringLiteral("--home=") + demo.shop;
        EXPECT_EQ(QProcess::execute(kBuild + "/Fenmo32", {home, "fetch", c.machine, c.fetch, "--to", to, "--yes"}), 0)
            << c.machine.toStdString();
        EXPECT_EQ(ReadFile(to + "/" + c.fetch + "." + c.send.section('.', 1)),
                  ReadFile(demo.shop + "/maskinminne/" + c.memory + "/" + c.fetch))
            << c.machine.toStdString();
        EXPECT_EQ(QProcess::execute(kBuild + "/Fenmo32",
                                    {home, "send", c.machine, demo.shop + "/ncprog/" + c.machine + "/" + c.send}),
                  0)
            << c.machine.toStdString();
        // Protocol 1 has no answer: the machine stores the program after the verb has ended.
        const QString stored = demo.shop + "/maskinminne/" + c.memory + "/" + c.send.section('.', 0, 0);
        EXPECT_TRUE(WaitUntil([&] { return QFileInfo::exists(stored); }, 5000)) << c.machine.toStdString();
    }

    ::kill(demo.window, SIGKILL);
    EXPECT_TRUE(demo.supervisor.waitForFinished(20000));
    EXPECT_TRUE(WaitUntil([&] { return ProcessesNaming(demo.shop).isEmpty(); }, 20000));

    // Nor when the supervisor itself is killed.
    Demo again;
    ASSERT_TRUE(again.start()) << again.out.constData();
    ::kill(int(again.supervisor.processId()), SIGKILL);
    EXPECT_TRUE(again.supervisor.waitForFinished(20000));
    EXPECT_TRUE(WaitUntil([&] { return ProcessesNaming(again.shop).isEmpty() && Gone(again.window); }, 20000));
}
