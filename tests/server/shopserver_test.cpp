// The shop server in-process: a serial line that hangs up and comes back
// while a network machine stores, and every transfer answered meanwhile.
#include "../link/stationfixture.h"
#include "library/history.h"
#include "link/memoryserialport.h"
#include "server/shopserver.h"
#include <QLockFile>

TEST(ShopServerInProcess, SerialLineComesBackWhileANetworkMachineStores) {
    TestHome home;
    home.ini("IgnoreCts=True\r\n" + home.machine(1, "Fräs", "IP=127.0.0.2\r\n") +
             home.machine(2, "Svarv", "Typ=1\r\nComPort=3\r\n"));
    MemorySerialPort* port = nullptr;
    ShopServer server;
    server.setPortFactory([&] { return port = new MemorySerialPort; });
    server.setRetryInterval(30);
    GeneralSettings g;
    ReadGeneralSettings(g);
    QString error;
    ASSERT_TRUE(server.start(g, {}, &error)) << error.toStdString();
    ASSERT_TRUE(port && port->isOpen());
    port->setInstant(true);

    // The line hangs up and its device is gone: told once, tried again.
    port->setAvailable(false);
    port->close();
    ASSERT_TRUE(WaitUntil([&] { return QString::fromUtf8(home.read("fenmo32.log")).contains("[Svarv] Kan inte öppna COM porten."); }));

    // Meanwhile a network machine stores a program, answered as usual.
    Peer machine;
    ASSERT_TRUE(machine.connectTo(server.port(), "127.0.0.2"));
    EXPECT_EQ(machine.ask(Request("SAV", "O5", "G5")), PcClose(BuildFrame("R", "SAV", "", "O5", "00")));
    EXPECT_EQ(home.read("ncprog/O5.NC"), QByteArray("G5"));

    // The device is back: the port opens again and serves the machine.
    port->setAvailable(true);
    ASSERT_TRUE(WaitUntil([&] { return port->isOpen(); }));
    EXPECT_TRUE(QString::fromUtf8(home.read("fenmo32.log")).contains("[Svarv] COM porten öppnad."));
    port->clearTransmitted();
    port->deliver(MachineClose(BuildFrame("C", "LOD", "", "O5", "00"), false));
    ASSERT_TRUE(WaitUntil([&] { return port->transmittedData().endsWith('%'); }));
    EXPECT_TRUE(port->transmittedData().startsWith(BuildFrame("R", "LOD", "", "O5", "00")));
}

// Another process holds a program's lock for 2 s: the machine storing it
// waits for its answer (its next request on that connection after it),
// another machine is answered meanwhile, and then the store completes whole
// with the version it replaced.
TEST(ShopServerInProcess, StoreWaitingForALockHoldsNoOtherMachine) {
    TestHome home;
    home.ini(home.machine(1, "Fräs", "IP=127.0.0.2\r\n") + home.machine(2, "Svarv", "IP=127.0.0.3\r\n"));
    const QString program = home.write("ncprog/O7.NC", "G0\r\n");
    home.write("ncprog/O1.NC", "G1");
    ShopServer server;
    GeneralSettings g;
    ReadGeneralSettings(g);
    QString error;
    ASSERT_TRUE(server.start(g, {}, &error)) << error.toStdString();
    QLockFile other(ProgramLockPath(program));
    ASSERT_TRUE(other.tryLock(0));
    Peer fras, svarv;
    ASSERT_TRUE(fras.connectTo(server.port(), "127.0.0.2") && svarv.connectTo(server.port(), "127.0.0.3"));
    fras.socket->write(Request("SAV", "O7", "G7\r\nM30"));
    ASSERT_TRUE(WaitUntil([&] { return home.read("fenmo32.log").contains("Inkommande kommando: CSAVO7"); }));
    fras.socket->write(Request("LOD", "O1"));
    bool held = true;
    QTimer::singleShot(2000, [&] {
        other.unlock();
        held = false;
    });
    const QByteArray load = PcClose(BuildFrame("R", "LOD", "", "O1", "00") + "\r\nG1");
    EXPECT_EQ(svarv.ask(Request("LOD", "O1")), load);
    EXPECT_TRUE(held && fras.got.isEmpty());
    const QByteArray answers = PcClose(BuildFrame("R", "SAV", "", "O7", "00")) + load;
    ASSERT_TRUE(WaitUntil([&] { return fras.got.size() >= answers.size(); }));
    EXPECT_FALSE(held);
    EXPECT_EQ(fras.got, answers);
    EXPECT_EQ(home.read("ncprog/O7.NC"), "G7\r\nM30");
    const QList<HistoryVersion> versions = ListVersions(program);
    ASSERT_EQ(versions.size(), 1);
    EXPECT_EQ(versions[0].origin, "Sparad av Fräs");
}

// Two serial machines load at once: the second line's program never stops
// the first one's from going out meanwhile, and both arrive whole.
TEST(ShopServerInProcess, SerialLinesSendSideBySide) {
    TestHome home;
    home.ini("IgnoreCts=True\r\n" +
             home.machine(1, "Svarv 1", "Typ=1\r\nComPort=1\r\nBaudRate=115200\r\n") +
             home.machine(2, "Svarv 2", "Typ=1\r\nComPort=2\r\nBaudRate=115200\r\n"));
    home.write("ncprog/O1.NC", QByteArray(8000, 'A'));
    std::vector<MemorySerialPort*> ports;
    ShopServer server;
    server.setPortFactory([&] { return ports.emplace_back(new MemorySerialPort); });
    GeneralSettings g;
    ReadGeneralSettings(g);
    QString error;
    ASSERT_TRUE(server.start(g, {}, &error)) << error.toStdString();
    ASSERT_EQ(ports.size(), 2u);
    MemorySerialPort &a = *ports[0], &b = *ports[1];

    const QByteArray load = MachineClose(BuildFrame("C", "LOD", "", "O1", "00"), false);
    a.deliver(load);
    ASSERT_TRUE(WaitUntil([&] { return a.transmittedData().size() > 1000; }));
    b.deliver(load);
    ASSERT_TRUE(WaitUntil([&] { return b.transmittedData().size() > 0; }));
    const qsizetype aWhenBStarted = a.transmittedData().size();
    ASSERT_TRUE(WaitUntil([&] { return b.transmittedData().endsWith('%'); }, 10000));
    EXPECT_GT(a.transmittedData().size() - aWhenBStarted, 2000);
    ASSERT_TRUE(WaitUntil([&] { return a.transmittedData().endsWith('%'); }, 10000));
    for (MemorySerialPort* p : {&a, &b}) EXPECT_EQ(p->transmittedData().count('A'), 8000);
}

// A socket path holds 107 bytes: a deep program folder gets a short name of
// its own in the runtime folder, one for each folder.
TEST(ShopServerInProcess, SocketOfADeepFolderFitsAndIsItsOwn) {
    TestHome home;
    EXPECT_EQ(ServerSocketPath(), home.file(".fenmo32-server.sock"));
    QStringList paths;
    for (const char* leaf : {"a", "b"}) {
        SetProgramFolder(home.file(QString(120, 'x') + "/" + leaf));
        paths << ServerSocketPath();
        EXPECT_LT(QFile::encodeName(paths.last()).size(), 108) << paths.last().toStdString();
        EXPECT_FALSE(paths.last().startsWith(home.path()));
    }
    EXPECT_NE(paths[0], paths[1]);
    SetProgramFolder(home.path());
}
