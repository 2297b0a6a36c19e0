// The shop server end to end: Fenmo32 serve --all as its own process, the
// machines as sockets from loopback addresses of their own.
#include "../link/stationfixture.h"

#include <QThread>

TEST(ShopServer, ServesEveryMachineFromItsOwnFoldersAndStopsWithoutHalfFiles) {
    TestHome home;
    QByteArray machines;
    const char* each[][3] = {{"Fräs A", "127.0.0.2", "a"}, {"Fräs B", "127.0.0.3", "b"}, {"Fräs C", "127.0.0.2", "c"}};
    for (int i = 0; i < 3; ++i) {
        const QByteArray folder = home.file(each[i][2]).toUtf8();
        machines += home.machine(i + 1, QString::fromUtf8(each[i][0]),
                                 "IP=" + QByteArray(each[i][1]) + "\r\nPort=9\r\nSendPath=" + folder + "\r\nRecPath=" + folder +
                                     "\r\nRootPath=" + folder + "\r\n");
        home.write(QString(each[i][2]) + "/O1.NC", QByteArray("%\r\nFROM ") + each[i][2] + "\r\n%");
    }
    home.ini("[ComPorts]\r\nCOM9=" + home.file("ingen-sadan-enhet").toUtf8() + "\r\n" + machines +
             "[Maskin 4]\r\nNamn=Svarv D\r\nTyp=1\r\nComPort=9\r\nExtension=NC\r\n");
    QProcess server;
    const quint16 port = home.serve(server, {"--all"});
    ASSERT_NE(port, 0);

    // Each address reaches its own machine; an address no machine has is refused.
    Peer a, b, stranger;
    ASSERT_TRUE(a.connectTo(port, "127.0.0.2") && b.connectTo(port, "127.0.0.3"));
    stranger.connectTo(port, "127.0.0.4");
    EXPECT_TRUE(a.ask(Request("LOD", "O1")).contains("FROM a"));
    EXPECT_TRUE(b.ask(Request("LOD", "O1")).contains("FROM b"));
    EXPECT_TRUE(stranger.ask(Request("LOD", "O1")).isEmpty());
    EXPECT_NE(stranger.socket->state(), QAbstractSocket::ConnectedState);

    ASSERT_TRUE(WaitUntil([&] { return home.read("fenmo32-server.json").count("\"ut\"") == 2; }, 5000));
    const QString status = home.run(0, {"status"}).out;
    EXPECT_TRUE(status.contains("Fräs B\tansluten från 127.0.0.3\tbegäran: ")) << status.toStdString();
    EXPECT_TRUE(status.contains("Svarv D\tportfel: ") && status.contains("finns inte")) << status.toStdString();
    const QString log = QString::fromUtf8(home.read("fenmo32.log"));
    EXPECT_TRUE(log.contains("[Fräs B] Skickar fil: O1")) << log.toStdString();
    EXPECT_TRUE(log.contains("\"Fräs C\" betjänas inte från lyssningsporten"));
    EXPECT_TRUE(log.contains("Anslutning från 127.0.0.4 nekad"));

    // SIGTERM in the middle of a store: it finishes whole, then the server ends.
    const QByteArray store = Request("SAV", "O2", "G2\r\nM30");
    a.socket->write(store.left(25));
    a.socket->flush();
    QThread::msleep(100);
    server.terminate();
    QThread::msleep(100);
    EXPECT_EQ(a.ask(store.mid(25)), PcClose(BuildFrame("R", "SAV", "", "O2", "00")))
        << home.read("fenmo32.log").right(1500).toStdString();
    EXPECT_EQ(home.read("a/O2.NC"), QByteArray("G2\r\nM30"));
    ASSERT_TRUE(server.waitForFinished(kProcessMs));
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 0);
    home.run(3, {"status"});
}
