// The shop server end to end: Fenmo32 serve --all as its own process, the
// machines as sockets from loopback addresses of their own.
#include "link/frames.h"
#include "support/testhome.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <memory>
#include <vector>
#include <QTcpSocket>
#include <gtest/gtest.h>

namespace {
constexpr int kProcessMs = 60000;

QByteArray Close(const QByteArray& text) {
    const QByteArray before = text + '\r';
    return before + '\n' + CalcChecksum(before) + '%';
}

// A machine's connection from address to the server.
struct From {
    QTcpSocket socket;
    QByteArray got;
    From(const char* address, quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { got += socket.readAll(); });
        EXPECT_TRUE(socket.bind(QHostAddress(QString::fromLatin1(address))));
        socket.connectToHost(QHostAddress::LocalHost, port);
        WaitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    QByteArray ask(const QByteArray& message) {
        got.clear();
        socket.write(message);
        WaitUntil([this] { return got.endsWith('%') || socket.state() != QAbstractSocket::ConnectedState; }, 5000);
        return got;
    }
};

QString Status(const QString& home, int* code) {
    QProcess p;
    p.start(QCoreApplication::applicationDirPath() + "/Fenmo32", {"--home", home, "status"});
    p.waitForFinished(kProcessMs);
    *code = p.exitCode();
    return QString::fromUtf8(p.readAllStandardOutput());
}
}  // namespace

TEST(ShopServer, ServesEveryMachineFromItsOwnFoldersAndStopsWithoutHalfFiles) {
    TestHome home;
    QByteArray ini = "[Program]\r\nListenPort=0\r\nListenAddress=127.0.0.1\r\n[ComPorts]\r\nCOM9=" +
                     home.file("ingen-sadan-enhet").toUtf8() + "\r\n";
    const char* machines[][3] = {{"Fräs A", "127.0.0.2", "a"}, {"Fräs B", "127.0.0.3", "b"}, {"Fräs C", "127.0.0.2", "c"}};
    for (int i = 0; i < 3; ++i) {
        const QByteArray folder = home.file(machines[i][2]).toUtf8();
        QDir().mkpath(folder);
        ini += QStringLiteral("[Maskin %1]\r\nNamn=%2\r\nTyp=0\r\nIP=%3\r\nPort=9\r\nExtension=NC\r\n")
                   .arg(i + 1)
                   .arg(machines[i][0], machines[i][1])
                   .toUtf8() +
               "SendPath=" + folder + "\r\nRecPath=" + folder + "\r\nRootPath=" + folder + "\r\n";
        home.write(QString(machines[i][2]) + "/O1.NC", QByteArray("%\r\nFROM ") + machines[i][2] + "\r\n%");
    }
    ini += "[Maskin 4]\r\nNamn=Svarv D\r\nTyp=1\r\nComPort=9\r\nExtension=NC\r\n";
    home.write("Fenmo32.INI", ini);

    QProcess server;
    server.start(QCoreApplication::applicationDirPath() + "/Fenmo32", {"--home", home.path(), "serve", "--all"});
    ASSERT_TRUE(server.waitForReadyRead(kProcessMs)) << server.readAllStandardError().toStdString();
    const QByteArray line = server.readLine().trimmed();
    ASSERT_TRUE(line.startsWith("LISTENING ")) << line.toStdString();
    const quint16 port = line.mid(10).toUShort();

    // Each address reaches its own machine; an address no machine has is refused.
    const QByteArray load = Close(BuildFrame("C", "LOD", "", "O1", "00"));
    From a("127.0.0.2", port), b("127.0.0.3", port), stranger("127.0.0.4", port);
    EXPECT_TRUE(a.ask(load).contains("FROM a"));
    EXPECT_TRUE(b.ask(load).contains("FROM b"));
    EXPECT_TRUE(stranger.ask(load).isEmpty());
    EXPECT_NE(stranger.socket.state(), QAbstractSocket::ConnectedState);

    ASSERT_TRUE(WaitUntil([&] { return home.read("fenmo32-server.json").count("\"ut\"") == 2; }, 5000));
    int code = -1;
    const QString status = Status(home.path(), &code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(status.contains("Fräs B\tansluten från 127.0.0.3\tbegäran: ")) << status.toStdString();
    EXPECT_TRUE(status.contains("Svarv D\tportfel: ") && status.contains("finns inte")) << status.toStdString();
    const QString log = QString::fromLatin1(home.read("fenmo32.log"));
    EXPECT_TRUE(log.contains("[Fräs B] Skickar fil: O1")) << log.toStdString();
    EXPECT_TRUE(log.contains("\"Fräs C\" betjänas inte från lyssningsporten"));
    EXPECT_TRUE(log.contains("Anslutning från 127.0.0.4 nekad"));

    // SIGTERM in the middle of a store: it finishes whole, then the server ends.
    const QByteArray store = Close(BuildFrame("C", "SAV", "", "O2", "00") + "\r\nG2\r\nM30");
    a.got.clear();
    a.socket.write(store.left(25));
    a.socket.flush();
    QThread::msleep(100);
    server.terminate();
    QThread::msleep(100);
    QByteArray answer = BuildFrame("R", "SAV", "", "O2", "00");
    EXPECT_EQ(a.ask(store.mid(25)), AddChecksum(answer, 0)) << home.read("fenmo32.log").right(1500).toStdString();
    EXPECT_EQ(home.read("a/O2.NC"), QByteArray("G2\r\nM30"));
    ASSERT_TRUE(server.waitForFinished(kProcessMs));
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 0);
    Status(home.path(), &code);
    EXPECT_EQ(code, 3);
}

// Two shops' servers on one library folder: the same program stored 100
// times by each at once is always one whole program, never a mix.
TEST(ShopServer, TwoServersOnOneLibraryNeverInterleave) {
    TestHome a, b;
    const QByteArray library = a.file("bibliotek").toUtf8();
    QDir().mkpath(a.file("bibliotek"));
    std::vector<std::unique_ptr<QProcess>> servers;
    QList<quint16> ports;
    for (TestHome* home : {&a, &b}) {
        home->write("Fenmo32.INI", "[Program]\r\nListenPort=0\r\nListenAddress=127.0.0.1\r\nHistoryKeep=0\r\n[Maskin 1]\r\nNamn=M\r\n"
                                   "Typ=0\r\nIP=127.0.0.1\r\nPort=9\r\nExtension=NC\r\nSendPath=" +
                                       library + "\r\n");
        auto p = std::make_unique<QProcess>();
        p->start(QCoreApplication::applicationDirPath() + "/Fenmo32", {"--home", home->path(), "serve", "--all"});
        ASSERT_TRUE(p->waitForReadyRead(kProcessMs));
        ports << p->readLine().trimmed().mid(10).toUShort();
        servers.push_back(std::move(p));
    }
    const QByteArray textA = QByteArray(20000, 'A'), textB = QByteArray(30000, 'B');
    From ma("127.0.0.1", ports[0]), mb("127.0.0.1", ports[1]);
    const QByteArray storeA = Close(BuildFrame("C", "SAV", "", "O1", "00") + "\r\n" + textA);
    const QByteArray storeB = Close(BuildFrame("C", "SAV", "", "O1", "00") + "\r\n" + textB);
    int answered = 0, partial = 0;
    QObject::connect(&ma.socket, &QTcpSocket::readyRead, [&] { if (ma.got.endsWith('%')) { ++answered; ma.got.clear(); } });
    QObject::connect(&mb.socket, &QTcpSocket::readyRead, [&] { if (mb.got.endsWith('%')) { ++answered; mb.got.clear(); } });
    for (int i = 0; i < 100; ++i) {
        ma.socket.write(storeA);
        mb.socket.write(storeB);
        ASSERT_TRUE(WaitUntil([&] { return answered >= 2 * (i + 1); }, 10000)) << i;
        const QByteArray now = a.read("bibliotek/O1.NC");
        if (now != textA && now != textB) ++partial;
    }
    EXPECT_EQ(partial, 0);
    for (auto& p : servers) {
        p->terminate();
        EXPECT_TRUE(p->waitForFinished(kProcessMs));
    }
}
