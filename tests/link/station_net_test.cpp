#include "library/history.h"
#include <QBuffer>
#include <QTimer>
#include "stationfixture.h"
#include <QDir>
#include <QRegularExpression>
#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

TEST(StationNetwork, MachineLoadsAndStoresPrograms) {
    Shop shop;
    shop.home.write("ncprog/O1000.NC", "(SHAFT)%\r\nG0X0\r\nM30\r\n%");
    shop.home.write("ncprog/O7.NC", "(KEEP ME)%\r\nOLD\r\n%");
    Peer machine;
    ASSERT_TRUE(machine.connectTo(shop.station.ListeningPort()));

    EXPECT_EQ(machine.ask(Request("LOD", "O1000")),
              PcClose(BuildFrame("R", "LOD", "", "O1000", "00") + "\r\n" + "\r\nG0X0\r\nM30\r\n"));
    EXPECT_EQ(machine.ask(Request("LOD", "o1000")).mid(17, 2), QByteArray("00"));  // found as Windows would
    EXPECT_EQ(machine.ask(Request("LOD", "O2000")), PcClose(BuildFrame("R", "LOD", "", "O2000", "08")));
    const QByteArray log = shop.log();
    EXPECT_TRUE(log.contains("Inkommande kommando: CLODO100000"));
    EXPECT_TRUE(log.contains("Skickar fil: O1000"));
    EXPECT_TRUE(log.contains(("Filkoll: " + shop.send + "/O2000.NC").toLatin1()));
    EXPECT_FALSE(shop.panel.pilarVisible);

    // A store in two pieces, with the machine's LF-only lines, keeps the comment.
    const QByteArray request = Request("SAV", "O7", "G1X1\nM30");
    machine.got.clear();
    machine.socket->write(request.left(10));
    machine.socket->flush();
    Settle(30);
    EXPECT_TRUE(machine.got.isEmpty());
    machine.socket->write(request.mid(10));
    ASSERT_TRUE(WaitUntil([&] { return machine.got.endsWith('%'); }));
    EXPECT_EQ(machine.got, PcClose(BuildFrame("R", "SAV", "", "O7", "00")));
    EXPECT_EQ(shop.file("O7.NC"), QByteArray("(KEEP ME)%G1X1\r\nM30%"));
    EXPECT_GE(shop.panel.updates, 1);
    EXPECT_EQ(shop.station.netLink().Phase, 0);
    EXPECT_TRUE(shop.station.netLink().InBuffer.isEmpty());

    // A write that cannot happen is never answered "00", and the machine has
    // its answer before the box waits for the operator.
    shop.panel.tree = shop.home.file("missing/folder");
    bool answeredFirst = false;
    shop.panel.onMessage = [&](const ScriptedPanel::Message&) {
        answeredFirst = WaitUntil([&] { return machine.got.endsWith('%'); }, 1000);
    };
    EXPECT_EQ(machine.ask(Request("SAV", "O8", "G1")).mid(17, 2), QByteArray("09"));
    EXPECT_TRUE(shop.panel.status().startsWith("Filfel ("));
    ASSERT_EQ(shop.panel.messages.size(), 1);
    EXPECT_TRUE(answeredFirst);
}

TEST(StationNetwork, EachConnectionHasItsOwnBufferAndReplies) {
    Shop shop;
    Station& st = shop.station;
    QTcpServer machineServer;
    ASSERT_TRUE(machineServer.listen(QHostAddress::LocalHost, 0));
    shop.machine([&](MachineSettings& m) { m.Port = QString::number(machineServer.serverPort()); });
    ASSERT_TRUE(Await(StationProbe::connect(st)));
    ASSERT_TRUE(WaitUntil([&] { return machineServer.hasPendingConnections(); }));
    Peer answers;  // the machine's end of comsock
    answers.attach(machineServer.nextPendingConnection());
    Peer machine;  // the machine's own connection, MasterSock
    ASSERT_TRUE(machine.connectTo(st.ListeningPort()));

    // A bad checksum on comsock is answered on comsock.
    EXPECT_EQ(answers.ask(Corrupt(Request("LOD", "O1", {}, "", "R"))),
              PcClose(BuildFrame("R", "LOD", "", "O1", "04")));
    EXPECT_TRUE(machine.got.isEmpty());

    // A store half-way on MasterSock while a list arrives whole on comsock:
    // both are parsed, neither mixed into the other.
    const QByteArray store = Request("SAV", "O7", "G1X1");
    machine.socket->write(store.left(15));
    machine.socket->flush();
    ASSERT_TRUE(WaitUntil([&] { return st.MachineReceiving(); }));
    auto list = cmdDir_Click(st);  // the list is an answer only to the PC's request, on its connection
    ASSERT_TRUE(WaitUntil([&] { return machineServer.hasPendingConnections(); }));
    Peer lister;
    lister.attach(machineServer.nextPendingConnection());
    lister.socket->write(MachineClose(BuildFrame("R", "DRQ", "ALL", "", "00") + "\r\nO100    1  "));
    Await(std::move(list));
    ASSERT_EQ(shop.panel.remoteFills, 1);
    EXPECT_EQ(shop.panel.remoteNames(), QStringList{"O100"});
    EXPECT_EQ(machine.ask(store.mid(15)), PcClose(BuildFrame("R", "SAV", "", "O7", "00")));
    EXPECT_EQ(shop.file("O7.NC"), QByteArray("G1X1"));

    // "Auto dok" on a network machine: the list goes on the machine's connection.
    machine.got.clear();
    Await(st.cmdChangeFolder_Click());
    ASSERT_TRUE(WaitUntil([&] { return machine.got.endsWith('%'); }));
    EXPECT_EQ(machine.got, PcClose(BuildFrame("R", "DRQ", "ALL", "", "00") + "\r\nO7      0  "));
}

TEST(StationNetwork, MachineDeletesIntoTheTrashAsksForListsAndIsRefusedUnsafeNames) {
    Shop shop;
    shop.home.write("S.NC", "secret");
    shop.home.write("ncprog/mottaget/B.NC", "x");
    shop.home.write("ncprog/mottaget/O5.NC", "%\r\nX\r\n%");
    shop.home.write("ncprog/O1.NC", QByteArray(192, 'a'));
    shop.home.write("ncprog/LONGNAME9.nc", QByteArray(64, 'a'));
    shop.home.write("ncprog/O2.TXT", "x");
    Peer machine;
    ASSERT_TRUE(machine.connectTo(shop.station.ListeningPort()));
    for (const char* bad : {"../S", "..\\S", "A/B", "", "C:X", ".", "...", "A.", "A*", "A?B", "A\"B", "<A>",
                            "A|B", "con", "NUL.X", "com1", "LPT9.A"}) {
        EXPECT_EQ(machine.ask(Request("LOD", bad)).mid(17, 2), QByteArray("08")) << bad;
        EXPECT_EQ(machine.ask(Request("SAV", bad, "EVIL")).mid(17, 2), QByteArray("09")) << bad;
        EXPECT_EQ(machine.ask(Request("DEL", bad)).mid(17, 2), QByteArray("07")) << bad;
        EXPECT_EQ(machine.ask(Request("DRQ", bad, {}, "SEL")).mid(17, 2), QByteArray("08")) << bad;
    }
    EXPECT_EQ(shop.home.read("S.NC"), QByteArray("secret"));
    EXPECT_TRUE(shop.home.exists("ncprog/mottaget/B.NC"));
    EXPECT_EQ(QDir(shop.send).entryList(QDir::Files | QDir::Hidden), QStringList({"LONGNAME9.nc", "O1.NC", "O2.TXT"}));
    EXPECT_TRUE(QDir(shop.trash).isEmpty());
    EXPECT_TRUE(shop.log().contains("Ogiltigt programnamn"));

    // A forged line stays inside its own, escaped.
    const QByteArray forged = QByteArray("hello\r\n2026-01-01 00:00:00 - Programmet avslutat.") + '\0' + '%';
    EXPECT_EQ(machine.ask(forged), PcClose(BuildFrame("R", "", "", "", "04")));
    EXPECT_TRUE(shop.log().contains("Ok\xe4nt kommando: hello<0D><0A>2026-01-01 00:00:00 - Programmet avslutat.<00>%\r\n"));
    EXPECT_FALSE(shop.log().contains("\n2026-01-01"));

    EXPECT_EQ(machine.ask(Request("DEL", "O5")), PcClose(BuildFrame("R", "DEL", "", "O5", "00")));
    EXPECT_FALSE(shop.home.exists("ncprog/mottaget/O5.NC"));
    const QStringList trashed = QDir(shop.trash).entryList(QDir::Files);
    ASSERT_EQ(trashed.size(), 1);
    // Named by the time in digits that sort, whatever the locale.
    EXPECT_TRUE(QRegularExpression("^O5\\.20\\d{12}\\.NC$").match(trashed[0]).hasMatch()) << trashed[0].toStdString();
    EXPECT_EQ(ListVersions(shop.home.file("ncprog/mottaget/O5.NC")).size(), 1);
    EXPECT_EQ(machine.ask(Request("DEL", "O5")).mid(17, 2), QByteArray("07"));

    EXPECT_EQ(machine.ask(Request("DRQ", "", {}, "ALL")),
              PcClose(BuildFrame("R", "DRQ", "ALL", "", "00") + "\r\n" + "LONGNAME0  " + "O1      2  "));
    EXPECT_EQ(machine.ask(Request("DRQ", "O1", {}, "SEL")),
              PcClose(BuildFrame("R", "DRQ", "SEL", "", "00") + "O1      2  "));
    EXPECT_EQ(machine.ask(Request("DRQ", "O9", {}, "SEL")), PcClose(BuildFrame("R", "DRQ", "SEL", "", "08")));
    EXPECT_TRUE(shop.log().contains("Skickar fillista."));
    EXPECT_TRUE(shop.log().contains("Raderar fil: O5"));
}

// A message held in memory past MaxMessage, or a store past MaxProgramMB, is
// refused; the rest of it, up to its closing "%", is no message of its own and
// gets no answer; the next request is served. (A program is not held: it goes
// to its file as it arrives.)
TEST(StationNetwork, MessagesAndProgramsPastTheirLimitsAreRefusedAndTheRestPassedOver) {
    Shop shop;
    shop.settings([](GeneralSettings& g) { g.MaxMessage = 1000; });
    shop.home.write("ncprog/O1.NC", "%\r\nA\r\n%");
    Peer machine;
    ASSERT_TRUE(machine.connectTo(shop.station.ListeningPort()));

    const QByteArray big = Request("DRQ", "O8", QByteArray(1500, 'x'), "SEL");
    machine.socket->write(big.left(1200));
    ASSERT_TRUE(WaitUntil([&] { return shop.panel.status().contains("för stort"); }));
    EXPECT_FALSE(shop.station.MachineReceiving());
    EXPECT_TRUE(shop.station.aborted());
    machine.socket->write(big.mid(1200));
    Settle(50);
    EXPECT_TRUE(machine.got.isEmpty()) << machine.got.constData();
    EXPECT_EQ(machine.ask(Request("LOD", "O1")).mid(17, 2), QByteArray("00"));
    EXPECT_EQ(machine.ask(Request("SAV", "O8", QByteArray(1500, 'x'))).mid(17, 2), QByteArray("00"));
    EXPECT_EQ(shop.file("O8.NC"), QByteArray(1500, 'x'));

    // Past MaxProgramMB: "09" before the store ends, and nothing of it kept.
    shop.settings([](GeneralSettings& g) { g.MaxProgramMB = 1; });
    const QByteArray store = Request("SAV", "O9", QByteArray(3 << 19, 'X'));
    machine.got.clear();
    machine.socket->write(store.left(store.size() - 100));
    ASSERT_TRUE(WaitUntil([&] { return machine.got.endsWith('%'); }));
    EXPECT_EQ(machine.got, PcClose(BuildFrame("R", "SAV", "", "O9", "09")));
    EXPECT_EQ(machine.ask(store.right(100) + Request("LOD", "O1")).mid(0, 19), BuildFrame("R", "LOD", "", "O1", "00"));
    EXPECT_FALSE(shop.home.exists("ncprog/O9.NC"));
    EXPECT_TRUE(shop.log().contains("Programmet O9 fr\xe5n maskinen sparades inte: "));
}

// A program goes to a temporary file as it arrives and replaces its target
// only whole and checked: a reset, a wrong checksum, an
// abort or a full disk leave the old program and nothing beside it.
TEST(StationNetwork, StoredProgramReplacesTheOldOnlyWhole) {
    Shop shop;
    shop.home.write("ncprog/O7.NC", "%\r\nOLD\r\n%");
    QByteArray old = shop.file("O7.NC");
    const auto beside = [&] { return QDir(shop.home.file("ncprog")).entryList({"O7.NC?*"}, QDir::Files); };
    const QByteArray body = QByteArray("N10 G1 X1.5\r\n").repeated(40000);
    const QByteArray sav = Request("SAV", "O7", body);
    const qsizetype half = sav.size() / 2;
    auto machine = std::make_unique<Peer>();
    ASSERT_TRUE(machine->connectTo(shop.station.ListeningPort()));

    machine->socket->write(sav.left(half));
    ASSERT_TRUE(WaitUntil([&] { return shop.station.MachineReceiving(); }));
    EXPECT_EQ(shop.file("O7.NC"), old);
    machine->socket->abort();
    ASSERT_TRUE(WaitUntil([&] { return shop.panel.status() == "Förbindelsen bröts. Programmet sparades inte."; }));
    EXPECT_TRUE(beside().isEmpty());
    EXPECT_EQ(shop.file("O7.NC"), old);

    machine = std::make_unique<Peer>();
    ASSERT_TRUE(machine->connectTo(shop.station.ListeningPort()));
    EXPECT_EQ(machine->ask(Corrupt(sav)).mid(17, 2), QByteArray("04"));
    EXPECT_EQ(shop.file("O7.NC"), old);

    // After "Avbryt" the rest of the program is passed over unanswered.
    machine->got.clear();
    machine->socket->write(sav.left(half));
    ASSERT_TRUE(WaitUntil([&] { return shop.station.MachineReceiving(); }));
    shop.station.cmdAbort_Click();
    EXPECT_TRUE(beside().isEmpty());
    machine->socket->write(sav.mid(half));
    Settle(100);
    EXPECT_TRUE(machine->got.isEmpty()) << machine->got.left(40).constData();
    EXPECT_EQ(shop.file("O7.NC"), old);
    EXPECT_EQ(machine->ask(sav).mid(17, 2), QByteArray("00"));
    EXPECT_EQ(shop.file("O7.NC"), body);
    // Only the replace that happened kept the program it replaced.
    const auto versions = [&] { return ListVersions(shop.home.file("ncprog/O7.NC")); };
    ASSERT_EQ(versions().size(), 1);
    QBuffer kept;
    kept.open(QIODevice::WriteOnly);
    ASSERT_TRUE(ReadVersion(versions().first(), kept).ok);
    EXPECT_EQ(kept.data(), old);
    old = body;

#ifdef Q_OS_LINUX
    // A full disk: the file may not grow past 1 MB.
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 1 << 20;
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const QByteArray answer = machine->ask(Request("SAV", "O7", QByteArray("G1 X2\r\n").repeated(500000)));
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(answer.mid(17, 2), QByteArray("09"));
    EXPECT_TRUE(shop.panel.status().startsWith("Filfel (")) << shop.panel.status().toStdString();
    EXPECT_EQ(shop.file("O7.NC"), old);
    EXPECT_TRUE(beside().isEmpty());
    EXPECT_EQ(versions().size(), 1);
#endif
}

// Who is let in (the filter's own rules: Access tests).
TEST(StationNetwork, OnlyAllowedHostsMayConnect) {
    // Every interface: an IPv4 peer arrives mapped and still matches its range.
    Shop shop;
    shop.settings([](GeneralSettings& g) { g.AllowedHosts = "127.0.0.0/8, nej"; });
    ASSERT_TRUE(shop.station.StartListening());
    EXPECT_TRUE(shop.log().contains("AllowedHosts (de sl\xe4pper inte in n\xe5gon): nej.\r\n"));
    Peer machine;
    ASSERT_TRUE(machine.connectTo(shop.station.ListeningPort()));
    EXPECT_EQ(machine.ask(Request("LOD", "O1")).mid(17, 2), QByteArray("08"));
    EXPECT_TRUE(shop.log().contains(" - Anslutning fr\xe5n 127.0.0.1.\r\n"));

    // Bound to loopback and letting in another host only: refused at once,
    // and the machine's open connection is left alone.
    shop.settings([](GeneralSettings& g) { g.AllowedHosts = "127.0.0.2"; g.ListenAddress = "127.0.0.1"; });
    ASSERT_TRUE(shop.station.StartListening());
    QTcpSocket stranger;
    stranger.connectToHost("127.0.0.1", shop.station.ListeningPort());
    ASSERT_TRUE(WaitUntil([&] { return stranger.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(shop.log().contains(" - Anslutning fr\xe5n 127.0.0.1 nekad (inte i AllowedHosts).\r\n"));
    EXPECT_EQ(machine.ask(Request("LOD", "O1")).mid(17, 2), QByteArray("08"));
    QTcpSocket elsewhere;
    elsewhere.connectToHost("127.0.0.2", shop.station.ListeningPort());
    EXPECT_FALSE(elsewhere.waitForConnected(5000));

    shop.settings([](GeneralSettings& g) { g.ListenAddress = "alla"; });
    EXPECT_FALSE(shop.station.StartListening());
    EXPECT_TRUE(shop.log().contains("Ogiltig ListenAddress ('alla')"));
    EXPECT_EQ(shop.station.listenFailure(), "Ogiltig ListenAddress ('alla'): inga anslutningar tas emot.");
}

TEST(StationNetwork, ConnectFailures) {
    Shop shop;
    Station& st = shop.station;
    // No address, or a port that is no port: refused, not wrapped (70000 would reach 4464).
    const QString local = "127.0.0.1";
    for (const auto& [ip, port] : {std::pair{QString(), "4000"}, {local, "70000"}, {local, "0"}, {local, "x"}}) {
        shop.panel.messages.clear();
        StationProbe::aborted(st) = false;
        shop.machine([ip = ip, port = port](MachineSettings& m) { m.IP = ip; m.Port = port; });
        EXPECT_FALSE(Await(StationProbe::connect(st))) << port;
        ASSERT_EQ(shop.panel.messages.size(), 1) << port;
        EXPECT_EQ(shop.panel.messages[0].text, "Ingen/felaktig IP address eller port.");
        EXPECT_TRUE(st.aborted());
    }

    // Nobody listens: refused, told in Swedish.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    StationProbe::aborted(st) = false;
    shop.machine([&](MachineSettings& m) { m.IP = "127.0.0.1"; m.Port = QString::number(closedPort); });
    EXPECT_FALSE(Await(StationProbe::connect(st)));
    EXPECT_EQ(shop.panel.status(),
              "Fel: Maskinen tar inte emot anslutningar (fel adress eller port, eller är den avstängd?)");
    EXPECT_FALSE(StationProbe::netTimer(st).isActive());

    // An attempt that outlived its wait fails no later operation.
    StationProbe::aborted(st) = true;
    EXPECT_FALSE(Await(StationProbe::connect(st)));
    StationProbe::aborted(st) = false;
    shop.panel.setStatus("next");
    Settle(100);
    EXPECT_EQ(shop.panel.status(), "next");
    EXPECT_FALSE(st.aborted());
}

namespace {
// Answers in 150 ms or not at all.
struct NetShop : Shop {
    ScriptedMachine machine{*this};
    NetShop() { settings([](GeneralSettings& g) { g.SvarTimeout = g.GeneralTimeout = 150; }); }
};
}  // namespace

// An answer counts only for the open fetch, on the connection it went out
// on, with its name; anything else is logged and dropped.
TEST(StationNetwork, AnswersCountOnlyForTheirOwnRequest) {
    struct Case {
        const char* what;
        QByteArray onComsock, onMasterSock;
        int delay;
    };
    const QByteArray lod = MachineClose(BuildFrame("R", "LOD", "", "O3", "00") + "\r\nMACHINE");
    const QList<Case> cases = {
        {"another program's copy", MachineClose(BuildFrame("R", "LOD", "", "O2", "00") + "\r\nX"), {}, 0},
        {"a late copy after the time-out", lod, {}, 300},
        {"the copy on the machine's own connection", {}, lod, 0},
    };
    for (const Case& c : cases) {
        NetShop shop;
        Station& st = shop.station;
        Peer own;  // the machine's own connection, where no answer belongs
        ASSERT_TRUE(own.connectTo(st.ListeningPort()));
        shop.machine.steps = {{[&] { return shop.machine.requestDone(); }, [&] {
                                   QTimer::singleShot(c.delay, shop.machine.conn, [&] { shop.machine.conn->write(c.onComsock); });
                               }}};
        if (!c.onMasterSock.isEmpty())
            QTimer::singleShot(40, own.socket, [&] { own.socket->write(c.onMasterSock); });
        shop.panel.selectedRemote = {"O3"};
        Await(cmdRec_Click(st, shop.panel.fetch()));
        Settle(c.delay + 100);
        EXPECT_TRUE(shop.panel.statuses.contains("Inget svar från maskinen (timeout).")) << c.what;
        EXPECT_FALSE(shop.home.exists("ncprog/O3.NC")) << c.what;
        EXPECT_FALSE(shop.home.exists("ncprog/O2.NC")) << c.what;
        EXPECT_TRUE(shop.log().contains("Ov\xe4ntat svar: %R")) << c.what;
        EXPECT_FALSE(st.Busy()) << c.what;
    }
}

// The machine's connections: a new one cuts off no store and takes no reply
// meant for another; one silent in the middle of a message is closed.
TEST(StationNetwork, MachineConnectionsKeepTheirOwnMessages) {
    NetShop shop;
    Station& st = shop.station;
    shop.settings([](GeneralSettings& g) { g.GeneralTimeout = 200; });
    shop.home.write("ncprog/O1.NC", "G1");
    Peer first, second;
    ASSERT_TRUE(first.connectTo(st.ListeningPort()));
    const QByteArray store = Request("SAV", "O7", "G7");
    first.socket->write(store.left(24));
    ASSERT_TRUE(WaitUntil([&] { return st.MachineReceiving(); }));
    ASSERT_TRUE(second.connectTo(st.ListeningPort()));
    EXPECT_EQ(first.ask(store.mid(24)), PcClose(BuildFrame("R", "SAV", "", "O7", "00")));
    EXPECT_EQ(shop.file("O7.NC"), QByteArray("G7"));

    // The list comes after half a second, to the connection that asked.
    Peer third;
    first.got.clear();
    first.socket->write(Request("DRQ", "", {}, "ALL"));
    QTimer::singleShot(100, [&] { third.connectTo(st.ListeningPort()); });
    ASSERT_TRUE(WaitUntil([&] { return first.got.endsWith('%'); }));
    EXPECT_TRUE(first.got.startsWith(BuildFrame("R", "DRQ", "ALL", "", "00")));
    Settle(50);
    EXPECT_TRUE(third.got.isEmpty());

    // Half a store, then silence: closed after the machine's receive time-out.
    third.socket->write(Request("SAV", "O8", "G8").left(25));
    ASSERT_TRUE(WaitUntil([&] { return third.socket->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_FALSE(st.MachineReceiving());
    EXPECT_FALSE(shop.home.exists("ncprog/O8.NC"));
    EXPECT_TRUE(shop.log().contains("Maskinen tystnade mitt i ett meddelande"));
}

// A program going out is stopped for good by an abort, which tells its
// time-out once, before its closing. A change to its file meanwhile cuts
// nothing: the machine gets the program as it was when the send started.
TEST(StationNetwork, StreamedSendStopsBeforeItsClosing) {
    const QString name = "O1.NC";
    constexpr qsizetype kSize = 16 << 20;
    for (const bool change : {false, true}) {
        NetShop shop;
        Station& st = shop.station;
        shop.home.write("ncprog/" + name, QByteArray(kSize, 'X'));
        shop.machine.read = false;  // the machine takes nothing until told
        if (change)
            QTimer::singleShot(100, [&] {
                QFile::resize(shop.send + "/" + name, 1000);
                shop.machine.drain();
            });
        shop.panel.selectedLocal = {name};
        Await(cmdSend_Click(st, shop.panel.send()));
        Settle(100);
        shop.machine.drain();
        EXPECT_EQ(shop.machine.got.endsWith('%'), change);
        if (change) EXPECT_EQ(shop.machine.got.count('X'), kSize);
        EXPECT_FALSE(shop.panel.statuses.contains("Sändning klar ('O1')")) << change;
        EXPECT_EQ(shop.panel.statuses.count("Inget svar från maskinen (timeout)."), 1)
            << change << shop.panel.statuses.join('|').toStdString();
        if (!change)  // cut: its connection goes with it
            EXPECT_TRUE(WaitUntil([&] { return !shop.machine.conn || shop.machine.conn->state() != QAbstractSocket::ConnectedState; }));
    }
}
