// The simulated machine as the PC sees it: bytes on real loopback sockets.
#include "../link/stationfixture.h"
#include "link/filelists.h"
#include "link/memoryserialport.h"
#include "machine-sim/simincoming.h"
#include "machine-sim/simmachine.h"

#include <QTemporaryDir>

namespace {

// The PC's request as its sender closes it (CR LF line end).
QByteArray PcRequest(const char* command, const char* selector, const char* name, const QByteArray& body = {}) {
    return PcClose(BuildFrame("C", command, selector, name, "00") + (body.isEmpty() ? "" : "\r\n" + body));
}

// The PC's client socket.
std::unique_ptr<Peer> PcClient(quint16 port) {
    auto pc = std::make_unique<Peer>();
    EXPECT_TRUE(pc->connectTo(port));
    return pc;
}

const QByteArray kBody = "\r\nO1234\r\nG0 X0\r\n";

QByteArray LongProgram(int lines, char mark) {
    QByteArray out;
    for (int n = 0; n < lines; ++n) out += "N" + QByteArray::number(n) + " G01 X" + mark + "12.5 Y-3.25\r\n";
    return out;
}

}  // namespace

TEST(SimMachine, AnswersProtocol2RequestsByteExactAndShowsFaults) {
    // The memory folder one below a folder of its own, so that "../x" is ours to check.
    QTemporaryDir top;
    QDir dir(top.filePath("minne"));
    dir.mkpath(".");
    SimMachine sim(dir.path());
    ASSERT_TRUE(sim.storeProgram("O1234", kBody));
    sim.storeProgram("P2", QByteArray(64, 'X'));   // half a block: to the even 0
    sim.storeProgram("P3", QByteArray(300, 'X'));  // 2.34 blocks
    ASSERT_TRUE(sim.listen(0, QHostAddress::LocalHost));
    auto pc = PcClient(sim.serverPort());

    // The machine counts the CR before its last LF, never that LF.
    const QByteArray whole = "%RLOD    O1234   00\r\n" + kBody + "\r\n11%";
    EXPECT_EQ(pc->ask(PcRequest("LOD", "", "O1234")), whole);
    EXPECT_TRUE(pc->ask(PcRequest("LOD", "", "o1234")).contains(kBody));  // found without regard to case

    // Stored as the body arrived, the PC's closing line end included.
    EXPECT_EQ(pc->ask(PcRequest("SAV", "", "O5", "\r\nO5\r\nX1\r\n")), "%RSAV    O5      00\r\n13%");
    EXPECT_EQ(sim.program("O5"), "\r\nO5\r\nX1\r\n");

    // A request whose checksum does not add up: "04" and nothing done.
    EXPECT_EQ(pc->ask(Corrupt(PcRequest("LOD", "", "O1234"))), "%RLOD    O1234   04\r\n11%");
    // A name that would leave the memory folder is no program.
    EXPECT_TRUE(pc->ask(PcRequest("SAV", "", "../x", "X")).startsWith("%RSAV    ../x    07"));
    EXPECT_FALSE(QFile::exists(dir.filePath("../x")));

    EXPECT_EQ(pc->ask(PcRequest("DRQ", "ALL", "")),
              "%RDRQALL         00\r\nO1234   0  O5      0  P2      0  P3      2  \r\n10%");
    EXPECT_EQ(pc->ask(PcRequest("DRQ", "SEL", "P2")), "%RDRQSEL P2      00\r\nP2      0  \r\n05%");
    EXPECT_EQ(pc->ask(PcRequest("DRQ", "SEL", "NONE")), "%RDRQSEL NONE    08\r\n02%");

    sim.setLineEnd(SimMachine::LineEnd::Lf);
    EXPECT_EQ(pc->ask(PcRequest("LOD", "", "O1234")), "%RLOD    O1234   00\n" + kBody + "\n01%");
    sim.setLineEnd(SimMachine::LineEnd::CrLf);

    // Faults show on the wire.
    sim.setBadChecksum(SimMachine::Scope::Next);
    const QByteArray corrupt = pc->ask(PcRequest("LOD", "", "O1234"));
    EXPECT_EQ(corrupt.left(corrupt.size() - 3), whole.left(whole.size() - 3));
    EXPECT_FALSE(ChecksumMatches(corrupt));
    EXPECT_EQ(pc->ask(PcRequest("LOD", "", "O1234")), whole);  // only the next one

    sim.setErrorStatus("12", SimMachine::Scope::Next);
    EXPECT_EQ(pc->ask(PcRequest("SAV", "", "O9", "X")), "%RSAV    O9      12\r\n04%");
    EXPECT_FALSE(sim.hasProgram("O9"));

    // Silence swallows one request; the one after it is answered.
    sim.setSilent(SimMachine::Scope::Next);
    int heard = 0;
    QObject::connect(&sim, &SimMachine::messageReceived, [&] { ++heard; });
    pc->socket->write(PcRequest("DEL", "", "O1234"));
    ASSERT_TRUE(WaitUntil([&] { return heard == 1; }));
    EXPECT_EQ(pc->ask(PcRequest("LOD", "", "NOPE")), "%RLOD    NOPE    08\r\n08%");
    EXPECT_TRUE(sim.hasProgram("O1234"));

    sim.setSplit(5, 20);
    int arrivals = 0;
    QObject::connect(pc->socket, &QTcpSocket::readyRead, [&] { ++arrivals; });
    EXPECT_EQ(pc->ask(PcRequest("LOD", "", "O1234")), whole);
    EXPECT_GE(arrivals, 2);
    sim.setSplit(0, 0);

    sim.setDropHalfway(SimMachine::Scope::Next);
    EXPECT_EQ(pc->ask(PcRequest("LOD", "", "O1234")), whole.left(whole.size() / 2));
    EXPECT_EQ(pc->socket->state(), QAbstractSocket::UnconnectedState);
}

TEST(SimMachine, OwnRequestsOverItsClientConnection) {
    QTemporaryDir dir;
    SimMachine sim(dir.path());
    sim.storeProgram("O42", "\r\nO42\r\n");
    QTcpServer pcServer;
    ASSERT_TRUE(pcServer.listen(QHostAddress::LocalHost, 0));
    sim.connectToPc("127.0.0.1", pcServer.serverPort());

    ASSERT_TRUE(sim.request(QStringLiteral("LOD O777")));
    ASSERT_TRUE(WaitUntil([&] { return pcServer.hasPendingConnections(); }));
    QTcpSocket* master = pcServer.nextPendingConnection();
    QByteArray got;  // read by polling: the first bytes may come before any connection to readyRead
    auto arrived = [&] {
        got += master->readAll();
        return got.endsWith('%');
    };
    ASSERT_TRUE(WaitUntil(arrived));
    EXPECT_EQ(got, "%CLOD    O777    00\r\n03%");

    // The PC's answer (its own closing rule); the body is kept as received.
    QByteArray answer = BuildFrame("R", "LOD", "", "O777", "00") + "\r\n" + "\r\nO777\r\nX5\r\n";
    master->write(AddChecksum(answer, 0));
    ASSERT_TRUE(sim.waitForRequests(5000));
    EXPECT_TRUE(sim.lastRequestOk());
    EXPECT_EQ(sim.program("O777"), "\r\nO777\r\nX5\r\n");

    // The next request on the same connection; the link going away before the answer fails it.
    got.clear();
    sim.request(SimMachine::Command::Save, "O42");
    ASSERT_TRUE(WaitUntil(arrived));
    EXPECT_EQ(got, "%CSAV    O42     00\r\n\r\nO42\r\n\r\n09%");
    master->abort();
    ASSERT_TRUE(sim.waitForRequests(5000));
    EXPECT_FALSE(sim.lastRequestOk());
    EXPECT_TRUE(sim.lastReply().isEmpty());
}

TEST(SimMachine, ReadsFaultAndRequestTexts) {
    QTemporaryDir dir;
    SimMachine sim(dir.path());
    for (const char* ok : {"checksum", "status=07", "silent", "split=8:5", "trickle=3", "drop", "cts-low",
                           "corrupt-store-next"})
        EXPECT_TRUE(sim.applyFault(QString::fromLatin1(ok))) << ok;
    for (const char* bad : {"status=7", "split=8", "split=0:5", "trickle=", "noise"})
        EXPECT_FALSE(sim.applyFault(QString::fromLatin1(bad))) << bad;
    sim.clearFaults();

    for (const char* ok : {"LOD O1", "SAV O1", "DEL O1", "DRQ ALL", "DRQ SEL O1", "L O1", "D", "e O1"})
        EXPECT_TRUE(sim.request(QString::fromLatin1(ok))) << ok;
    for (const char* bad : {"LOD", "DRQ", "DRQ SEL", "D O1", "XYZ O1", "LOD O1 O2"})
        EXPECT_FALSE(sim.request(QString::fromLatin1(bad))) << bad;
    // No link to the PC: every queued request fails, none hangs.
    EXPECT_TRUE(sim.waitForRequests(5000));
    EXPECT_EQ(sim.failedRequests(), 8);
}

TEST(SimMachine, Protocol1OverTheInMemorySerialLink) {
    QTemporaryDir dir;
    SimMachine sim(dir.path());
    sim.setProtocol(SimMachine::Protocol::OneShort);
    MemorySerialPort pcPort, machinePort;
    pcPort.setInstant(true);
    machinePort.setInstant(true);
    ConnectBackToBack(pcPort, machinePort);
    ASSERT_TRUE(pcPort.open());
    ASSERT_TRUE(machinePort.open());
    sim.attachSerial(&machinePort);
    QByteArray got;
    QObject::connect(&pcPort, &SerialPort::commEvent, [&](int code) {
        if (code == SerialPort::EvReceive) got += pcPort.readAll();
    });
    auto complete = [&] { return got.size() >= 2 && got.startsWith('%') && got.endsWith('%'); };

    // An empty list still reads as a list (16 characters or more).
    pcPort.write(BuildShortFrame("D", "") + "\n%");
    ASSERT_TRUE(WaitUntil(complete));
    EXPECT_EQ(got, "%D         \n\r\n\r\n%");
    EXPECT_TRUE(ReadReceivedList(got, 1).isEmpty());
    got.clear();
    sim.storeProgram("O1234", kBody);

    // The PC's fetch arrives in two chunks, the first with line noise.
    pcPort.write(QByteArray("\0%L O1", 6));
    ASSERT_TRUE(WaitUntil([&] { return machinePort.inputCount() == 0; }));
    pcPort.write("234   \n%");
    ASSERT_TRUE(WaitUntil(complete));
    EXPECT_EQ(got, "%S O1234   \n" + kBody + "%");

    // The machine's side of the cable is the PC's CTS.
    for (const bool low : {true, false}) {
        bool cts = low;
        sim.setCtsLow(low);
        pcPort.modemStatus(&cts, nullptr);
        EXPECT_EQ(cts, !low);
    }

    // A program given to the PC has no answer: it fails only when the line was cut half-way.
    got.clear();
    sim.setDropHalfway(SimMachine::Scope::Next);
    sim.request(SimMachine::Command::Save, "O1234");
    ASSERT_TRUE(sim.waitForRequests(5000));
    EXPECT_FALSE(sim.lastRequestOk());
    EXPECT_TRUE(WaitUntil([&] { return got.size() >= 14; }));
    EXPECT_EQ(got, QByteArray("%S O1234   \n" + kBody + "%").left(14));
}

TEST(SimMachine, ProgramBodyInPiecesIsStoredAsWhole) {
    QTemporaryDir dir;
    const QString target = dir.filePath("P");
    // Ends that the frame's closing line end must be told from, and a LF where the header's line end goes.
    QList<QByteArray> messages;
    for (const QByteArray& body : {QByteArray(), QByteArray("X"), QByteArray("\r\n"), QByteArray("\n"),
                                  QByteArray("\r"), QByteArray("N1\r\n\r\n"), QByteArray("N1 X2")}) {
        messages << PcRequest("SAV", "", "P", body);
        QByteArray lf = BuildFrame("C", "SAV", "", "P", "00") + "\n\n" + body;
        messages << AddChecksum(lf, 1);
    }
    messages << BuildShortFrame("S", "P") + "\nN1 X2\r\n%" << BuildColonFrame(":", "P", "S") + "N1 X2\r\n\n%";
    messages << Corrupt(messages.first());

    for (const QByteArray& message : messages) {
        const bool two = message.at(1) == 'C';
        const qsizetype start = two ? sim::IncomingProgram::kFrame2 : message.at(1) == ':' ? 10 : 12;
        const QByteArray expected = two ? StripFrame(message) : message.mid(start, message.size() - 1 - start);
        // Two pieces cut everywhere, and byte by byte.
        for (qsizetype cut = 1; cut <= message.size(); ++cut) {
            sim::IncomingProgram in(dir.path(), start);
            if (cut < message.size()) {
                in.write(message.constData(), cut);
                in.write(message.constData() + cut, message.size() - cut);
            } else {
                for (char c : message) in.write(&c, 1);
            }
            in.finish();
            ASSERT_TRUE(in.commit(target));
            QFile f(target);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            EXPECT_EQ(f.readAll(), expected) << message.toStdString() << " cut at " << cut;
            if (two) {
                EXPECT_EQ(in.checksumOk(), sim::PcChecksumOk(message)) << message.toStdString();
            }
            EXPECT_EQ(in.text(), message);
        }
    }
    EXPECT_EQ(Entries(dir.path()), QStringList{"P"});
}

TEST(SimMachine, LongProgramsStreamBothWaysAndACutOffStoreChangesNothing) {
    QTemporaryDir dir;
    SimMachine sim(dir.path());
    ASSERT_TRUE(sim.listen(0, QHostAddress::LocalHost));
    const QByteArray first = LongProgram(40000, 'A');  // about 1 MB
    const QByteArray second = LongProgram(30000, 'B');
    auto answer = [](const QByteArray& status) {
        return sim::CloseMachineMessage(BuildFrame("R", "SAV", "", "O1", status), SimMachine::LineEnd::CrLf);
    };
    int closes = 0;
    QObject::connect(&sim, &SimMachine::logLine, [&](const QString& line) { closes += line.endsWith("closed"); });
    {
        auto pc = PcClient(sim.serverPort());
        const QByteArray store = PcRequest("SAV", "", "O1", first);
        EXPECT_EQ(pc->ask(store), answer("00"));
        EXPECT_EQ(sim.program("O1"), StripFrame(store));
        EXPECT_TRUE(sim.lastReceived().startsWith("%CSAV    O1      00\r\n"));
        EXPECT_LT(sim.lastReceived().size(), 100);  // only the header and a size note

        EXPECT_EQ(pc->ask(Corrupt(PcRequest("SAV", "", "O1", second))), answer("04"));

        EXPECT_EQ(pc->ask(PcRequest("LOD", "", "O1")),
                  sim::CloseMachineMessage("%RLOD    O1      00\r\n" + StripFrame(store), SimMachine::LineEnd::CrLf));
    }
    ASSERT_TRUE(WaitUntil([&] { return closes == 1; }));
    EXPECT_EQ(Entries(dir.path()), QStringList{"O1"});

    // The PC goes away half-way through its store.
    {
        auto pc = PcClient(sim.serverPort());
        const QByteArray store = PcRequest("SAV", "", "O1", second);
        pc->socket->write(store.left(store.size() / 2));
        ASSERT_TRUE(WaitUntil([&] { return pc->socket->bytesToWrite() == 0; }));
        pc->socket->abort();
        ASSERT_TRUE(WaitUntil([&] { return closes == 2; }));
    }
    EXPECT_EQ(sim.program("O1"), StripFrame(PcRequest("SAV", "", "O1", first)));
    EXPECT_EQ(Entries(dir.path()), QStringList{"O1"});

    auto pc = PcClient(sim.serverPort());
    EXPECT_EQ(pc->ask(PcRequest("SAV", "", "O1", second)), answer("00"));
    EXPECT_EQ(sim.program("O1"), StripFrame(PcRequest("SAV", "", "O1", second)));
}
