#include "link/memoryserialport.h"
#include "link/serialthread.h"
#include "stationfixture.h"
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>

namespace {
// A station on an in-memory serial port, timers in tens of milliseconds.
struct SerialShop : Shop {
    MemorySerialPort* port;
    explicit SerialShop(qint16 typ = 1, bool instant = true)
        : Shop(new MemorySerialPort, typ), port(static_cast<MemorySerialPort*>(station.port())) {
        // Silence between chunks in these tests stays far below the receive time-out.
        settings([](GeneralSettings& g) {
            g.CtsTimeout = g.SendTimeout = 60;
            g.RecTimeout = 250;
            g.SvarTimeout = 100;
        });
        port->setInstant(instant);
        EXPECT_TRUE(port->open());
    }
    // Sends bytes as the machine and waits for the PC's answer ending in "%".
    QByteArray ask(const QByteArray& bytes) {
        port->clearTransmitted();
        port->deliver(bytes);
        WaitUntil([&] { return port->transmittedData().endsWith('%') && port->outBufferCount() == 0; }, 5000);
        return port->transmittedData();
    }
    // Sends a program as the machine and waits until the PC has stored it.
    bool store(const QByteArray& bytes) {
        StationProbe::transferDone(station) = false;
        port->deliver(bytes);
        return WaitUntil([&] { return station.transferDone(); });
    }
};

QByteArray SerialReply(const QByteArray& header, const QByteArray& body = {}) {
    return PcClose(body.isNull() ? header : header + '\n' + body);
}
}  // namespace

TEST(StationSerial, CollectsMessagesFromChunksAndFraming) {
    SerialShop shop;
    shop.home.write("ncprog/O1.NC", "%\r\nG0\r\n%");
    const QByteArray request = MachineClose(BuildFrame("C", "LOD", "", "O1", "00"));
    // DC2 before, DC4 after, NULs inside, and many small chunks.
    QByteArray framed = '\x12' + request + '\x14';
    framed.insert(5, QByteArray(3, '\0'));
    shop.port->clearTransmitted();
    for (qsizetype i = 0; i < framed.size(); i += 3) {
        shop.port->deliver(framed.mid(i, 3));
        Settle(2);
        if (i + 3 < framed.size()) {
            EXPECT_TRUE(shop.port->transmittedData().isEmpty()) << i;
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return shop.port->transmittedData().endsWith('%'); }));
    EXPECT_EQ(shop.port->transmittedData(), SerialReply(BuildFrame("R", "LOD", "", "O1", "00"), "\r\nG0\r\n"));
    EXPECT_TRUE(shop.panel.statuses.contains("Tar emot från maskin..."));
    EXPECT_TRUE(shop.panel.statuses.contains("Mottagning klar (24 tecken )."));
    EXPECT_EQ(shop.panel.pilarText, "Sänder: O1");
    EXPECT_TRUE(shop.station.serialLink().InBuffer.isEmpty());
    EXPECT_FALSE(StationProbe::recTimer(shop.station).isActive());
    Settle(20);
    EXPECT_EQ(shop.panel.status(), "Sändning klar (O1).");

    // A program in small pieces, NULs at their seams, CR LF split between
    // pieces, DC2 before and DC4 after: stored as if it came whole.
    const QByteArray body = "O7\r\nG1 X1\r\n(A)\r\nM30\r\n";
    const QByteArray sav = '\x12' + MachineClose(BuildFrame("C", "SAV", "", "O7", "00") + "\r\n" + body) + '\x14';
    for (const qsizetype piece : {1, 2, 5, 7}) {
        QFile::remove(shop.home.file("ncprog/O7.NC"));
        shop.port->clearTransmitted();
        for (qsizetype i = 0; i < sav.size(); i += piece) {
            shop.port->deliver(QByteArray(2, '\0') + sav.mid(i, piece));
            Settle(1);
        }
        ASSERT_TRUE(WaitUntil([&] { return shop.port->transmittedData().endsWith('%'); })) << piece;
        EXPECT_EQ(shop.port->transmittedData(), SerialReply(BuildFrame("R", "SAV", "", "O7", "00")));
        EXPECT_EQ(shop.file("O7.NC"), body) << piece;
    }

    shop.port->deliver("%");
    Settle(20);
    EXPECT_EQ(shop.station.serialLink().InBuffer, QByteArray("%"));  // a lone "%" waits for more
    EXPECT_EQ(shop.panel.panels[2], "1 tecken");  // counted afresh after each message
    shop.station.cmdAbort_Click();
    // Two messages in one chunk are two messages, each answered.
    shop.port->clearTransmitted();
    shop.port->deliver(MachineClose(BuildFrame("C", "DEL", "", "B", "00")) +
                       MachineClose(BuildFrame("C", "DEL", "", "O12", "00")));
    const QByteArray both = SerialReply(BuildFrame("R", "DEL", "", "B", "07")) +
                            SerialReply(BuildFrame("R", "DEL", "", "O12", "07"));
    EXPECT_TRUE(WaitUntil([&] { return shop.port->transmittedData() == both; })) << shop.port->transmittedData().toStdString();
}

TEST(StationSerial, ProtocolOneShortAndColonForms) {
    SerialShop shop(2);
    shop.home.write("ncprog/O1.NC", "(C)%\r\nG1\r\n%");
    shop.home.write("ncprog/mottaget/O3.NC", "x");

    EXPECT_EQ(shop.ask(BuildShortFrame("L", "O1") + "%"), BuildShortFrame("S", "O1") + "\n\r\nG1\r\n%");
    ASSERT_TRUE(WaitUntil([&] { return !shop.jobs.isEmpty(); }));
    EXPECT_EQ(shop.jobs[0].kind, JobKind::MachineLoad);
    EXPECT_EQ(shop.jobs[0].programs.value(0).sha256, QCryptographicHash::hash("\r\nG1\r\n", QCryptographicHash::Sha256).toHex());
    shop.port->clearTransmitted();
    shop.port->deliver(BuildShortFrame("L", "NONE") + "%");
    Settle(30);
    EXPECT_TRUE(shop.port->transmittedData().isEmpty());  // no reply when missing

    ASSERT_TRUE(shop.store(BuildShortFrame("S", "O2") + "\nG2\nM30%"));
    EXPECT_EQ(shop.file("O2.NC"), QByteArray("G2\r\nM30"));
    // A name Windows could not hold stores nothing.
    shop.port->deliver(BuildShortFrame("S", ".") + "\nX%");
    ASSERT_TRUE(WaitUntil([&] { return shop.panel.status() == "Mottagningen misslyckades ('.')."; }));
    EXPECT_FALSE(shop.home.exists("ncprog/..NC"));

    EXPECT_EQ(shop.ask(BuildShortFrame("E", "O3") + "%"), BuildShortFrame("R", "O3") + "\n%");
    EXPECT_FALSE(shop.home.exists("ncprog/mottaget/O3.NC"));
    EXPECT_EQ(QDir(shop.trash).entryList(QDir::Files).size(), 1);

    EXPECT_EQ(shop.ask(BuildShortFrame("D", "") + "%"), BuildShortFrame("D", "") + "\nO1      0  O2      0  %");
    // The machine's list counts only as the answer to the PC's request (that
    // answer: Operations.ListFetchAndDelete).
    shop.port->deliver(BuildShortFrame("D", "") + "\nO9999  12%");
    Settle(30);
    EXPECT_EQ(shop.panel.remoteFills, 0);

    // The colon form on the same line.
    shop.home.write("ncprog/O1.NC", "%\r\nG1\r\n%");
    QFile::remove(shop.send + "/O2.NC");
    EXPECT_EQ(shop.ask(BuildColonFrame(":", "O1", "L") + "%"), BuildColonFrame(":", "O1", "S") + "\r\nG1\r\n\n%");
    EXPECT_EQ(shop.ask(BuildColonFrame(":", "D", "L") + "%"), BuildColonFrame(":", "D", "S") + "O1      0\n%");

    ASSERT_TRUE(shop.store(BuildColonFrame(":", "O5", "S") + "G5%"));
    EXPECT_EQ(shop.file("O5.NC"), QByteArray("G5"));

    // The short form's whole 8-character name: stored, served and erased as
    // sent, never as its first six characters (a name whose 7th character is
    // "S" is stored once).
    shop.home.write("ncprog/ABCDEF.NC", "OTHER");
    shop.home.write("ncprog/mottaget/ABCDEF.NC", "OTHER");
    ASSERT_TRUE(shop.store(BuildShortFrame("S", "ABCDEFSX") + "\nBODY%"));
    EXPECT_EQ(shop.file("ABCDEFSX.NC"), QByteArray("BODY"));
    EXPECT_EQ(shop.ask(BuildShortFrame("L", "ABCDEFSX") + "%"), BuildShortFrame("S", "ABCDEFSX") + "\nBODY%");
    shop.home.write("ncprog/mottaget/ABCDEFSX.NC", "x");
    EXPECT_EQ(shop.ask(BuildShortFrame("E", "ABCDEFSX") + "%"), BuildShortFrame("R", "ABCDEFSX") + "\n%");
    EXPECT_FALSE(shop.home.exists("ncprog/mottaget/ABCDEFSX.NC"));
    EXPECT_EQ(shop.file("ABCDEF.NC"), QByteArray("OTHER"));
    EXPECT_EQ(shop.file("mottaget/ABCDEF.NC"), QByteArray("OTHER"));
}

TEST(StationSerial, TimeOutsEndIdle) {
    SerialShop shop;
    Station& st = shop.station;
    // Nothing under way: NULs alone, or a DC4 after the closing "%", arm no
    // time-out that would hit the next operation.
    for (const QByteArray& idle : {QByteArray(4, '\0'), QByteArray("\x14")}) {
        shop.port->deliver(idle);
        Settle(20);
        EXPECT_FALSE(StationProbe::recTimer(st).isActive());
    }
    EXPECT_FALSE(shop.panel.pilarVisible);

    // Silence half-way through a message.
    shop.port->deliver("%CLOD    O1");
    ASSERT_TRUE(WaitUntil([&] { return shop.panel.status() == "Kommando timeout."; }));
    EXPECT_TRUE(st.serialLink().InBuffer.isEmpty());
    EXPECT_TRUE(st.aborted());
    EXPECT_FALSE(shop.panel.pilarVisible);

    // A time-out of 0 is none: a message may pause for as long as it likes.
    shop.settings([](GeneralSettings& g) { g.RecTimeout = 0; });
    shop.panel.statuses.clear();
    shop.port->deliver("%CDEL    X");
    Settle(60);
    EXPECT_FALSE(shop.panel.statuses.contains("Kommando timeout."));
    EXPECT_EQ(st.serialLink().InBuffer, QByteArray("%CDEL    X"));
    st.cmdAbort_Click();
    shop.settings([](GeneralSettings& g) { g.RecTimeout = 250; });

    // CTS that never rises: protocol 2 keeps the time-out's text.
    shop.port->setCts(false);
    shop.port->clearTransmitted();
    QByteArray m = BuildFrame("C", "DRQ", "ALL", "", "00");
    StationProbe::aborted(st) = false;
    StationProbe::send(st, m);
    Await(StationProbe::awaitLine(st));
    EXPECT_EQ(shop.panel.status(), "CTS timeout. Funktionen avbruten.");
    EXPECT_EQ(st.serialLink().AbortReason, "CTS timeout");
    EXPECT_TRUE(shop.port->transmittedData().isEmpty());

    // Protocol 1 ends with its own text after the same time-out.
    StationProbe::aborted(st) = false;
    m = BuildShortFrame("D", "");
    StationProbe::sendP1(st, m);
    Await(StationProbe::awaitLine(st));
    EXPECT_EQ(shop.panel.status(), "Sändning avbruten (CTS timeout).");
    EXPECT_FALSE(StationProbe::ctsTimer(st).isActive());
}

TEST(StationSerial, DrainTimeOutAndAbortInTheMiddleOfASend) {
    SerialShop shop(1, false);
    Station& st = shop.station;
    ASSERT_TRUE(shop.port->setSettings("300,n,8,1"));  // 30 characters a second
    QByteArray m = BuildFrame("C", "SAV", "", "BIG", "00") + '\n' + QByteArray(600, 'X');
    StationProbe::machineLink(st).FileName = "BIG";
    StationProbe::send(st, m);
    Await(StationProbe::awaitLine(st));
    EXPECT_EQ(shop.panel.status(), "Sändning timeout. Sändningen avbruten.");
    EXPECT_TRUE(st.aborted());
    EXPECT_LT(shop.port->transmittedData().size() + shop.port->outBufferCount(), 600);

    // "Avbryt" while pieces drain: the loop leaves at once, the line is quiet after.
    ASSERT_TRUE(shop.port->setSettings("9600,e,7,1"));
    shop.settings([](GeneralSettings& g) { g.SendTimeout = 5000; });
    StationProbe::aborted(st) = false;
    shop.port->clearTransmitted();
    QTimer::singleShot(150, [&] { st.cmdAbort_Click(); });
    m = BuildFrame("C", "SAV", "", "BIG", "00") + '\n' + QByteArray(3000, 'Y');
    StationProbe::send(st, m);
    Await(StationProbe::awaitLine(st));
    EXPECT_EQ(shop.panel.status(), QString());
    EXPECT_FALSE(shop.panel.pilarVisible);
    EXPECT_FALSE(StationProbe::sendTimer(st).isActive());
    Settle(100);
    const qsizetype sent = shop.port->transmittedData().size();
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 3000);

    // The abort routine twice leaves the same state as once.
    StationProbe::machineLink(st).InBuffer = "%C";
    StationProbe::netLink(st).OutBuffer = "x";
    st.cmdAbort_Click();
    const QStringList once = shop.panel.statuses;
    st.cmdAbort_Click();
    EXPECT_TRUE(st.aborted());
    EXPECT_TRUE(st.serialLink().InBuffer.isEmpty());
    EXPECT_TRUE(st.netLink().OutBuffer.isEmpty());
    EXPECT_EQ(shop.panel.status(), QString());
    EXPECT_EQ(shop.panel.statuses.size(), once.size() + 1);
}

// An abort after the last piece went out, before the station heard of its
// end, cuts nothing: no spoiled closing follows the whole message.
TEST(StationSerial, AbortJustAfterTheLastPieceCutsNothing) {
    for (const qint16 typ : {1, 2}) {
        SerialShop shop(typ);
        Station& st = shop.station;
        QByteArray m = (typ == 1 ? BuildFrame("C", "SAV", "", "BIG", "00") : BuildShortFrame("S", "BIG")) + '\n' +
                       QByteArray(300, 'Z');
        StationProbe::machineLink(st).FileName = "BIG";
        if (typ == 1) StationProbe::send(st, m);
        else StationProbe::sendP1(st, m);
        QElapsedTimer spent;
        spent.start();
        while (!shop.port->transmittedData().endsWith('%') && spent.elapsed() < 5000) QThread::msleep(1);
        OnThreadOf(shop.port, [] {});  // the pacer's turn that wrote the end is over
        const QByteArray whole = shop.port->transmittedData();
        ASSERT_TRUE(whole.endsWith('%'));
        st.cmdAbort_Click();
        Settle(100);
        EXPECT_EQ(shop.port->transmittedData().mid(whole.size()), QByteArray());  // nothing after it
        EXPECT_FALSE(shop.log().contains("avbröts")) << shop.log().toStdString();
        if (typ == 2) EXPECT_EQ(shop.panel.status(), "Sändning klar (BIG).");
    }
}

TEST(StationSerial, LineEventsAndModemLines) {
    SerialShop shop;
    Station& st = shop.station;
    shop.port->raiseEvent(SerialPort::EventFrame);
    ASSERT_TRUE(WaitUntil([&] { return !shop.panel.messages.isEmpty(); }));
    EXPECT_EQ(shop.panel.messages.last().text, "Framing error");
    EXPECT_TRUE(st.aborted());

    shop.settings([](GeneralSettings& g) { g.SuppressErrors = g.HideBreak = true; });
    StationProbe::aborted(st) = false;
    shop.panel.messages.clear();
    for (int code : {int(SerialPort::EventRxParity), int(SerialPort::EventBreak), int(SerialPort::EventTxFull)})
        shop.port->raiseEvent(code);
    ASSERT_TRUE(WaitUntil([&] { return st.aborted(); }));
    Settle(20);
    EXPECT_TRUE(shop.panel.messages.isEmpty());

    shop.settings([](GeneralSettings& g) { g.HideBreak = false; });
    StationProbe::aborted(st) = false;
    shop.port->raiseEvent(SerialPort::EventBreak);
    ASSERT_TRUE(WaitUntil([&] { return !shop.panel.messages.isEmpty(); }));
    EXPECT_EQ(shop.panel.messages.last().text, "Break");
    EXPECT_FALSE(st.aborted());  // a break alone ends nothing

    shop.port->raiseEvent(1005);
    ASSERT_TRUE(WaitUntil([&] { return shop.log().contains("Ok\xe4nt fel."); }));

    shop.port->setCts(false);
    ASSERT_TRUE(WaitUntil([&] { return shop.panel.panels[3] == "CTS"; }));
    shop.port->setCts(true);
    ASSERT_TRUE(WaitUntil([&] { return shop.panel.panels[3].isEmpty(); }));
    // A paced send reads the line in the same sense: present shows nothing.
    StationProbe::aborted(st) = false;
    QByteArray m = BuildFrame("C", "DRQ", "ALL", "", "00");
    StationProbe::send(st, m);
    EXPECT_TRUE(shop.panel.panels[3].isEmpty());
    shop.port->setDsr(false);
    ASSERT_TRUE(WaitUntil([&] { return shop.panel.panels[4] == "DSR"; }));
}

TEST(StationSerial, ClosedPortAndAutoDok) {
    SerialShop shop;
    Station& st = shop.station;
    shop.home.write("ncprog/O1.NC", QByteArray(200, 'a'));
    const auto autoDok = [&] {  // "Auto dok": the PC's list on the line
        shop.port->clearTransmitted();
        Await(st.cmdChangeFolder_Click());
        WaitUntil([&] { return shop.port->transmittedData().endsWith('%') && !st.Busy(); });
        return shop.port->transmittedData();
    };
    EXPECT_EQ(autoDok(), SerialReply(BuildFrame("R", "DRQ", "ALL", "", "00"), "O1      2  "));
    // On a protocol-1 machine, in its own form.
    shop.machine([](MachineSettings& m) { m.Typ = 2; });
    EXPECT_EQ(autoDok(), BuildShortFrame("D", "") + "\nO1      2  %");
    shop.machine([](MachineSettings& m) { m.Conversion = true; });
    EXPECT_EQ(autoDok(), BuildColonFrame(":", "D", "S") + "O1      2\n%");

    shop.port->close();
    QByteArray m = BuildFrame("C", "DRQ", "ALL", "", "00");
    StationProbe::send(st, m, true);
    EXPECT_TRUE(shop.panel.messages.isEmpty());
    EXPECT_EQ(shop.panel.status(), "Fel: Porten inte öppen.");  // the abort routine does not wipe it
    m = BuildFrame("C", "DRQ", "ALL", "", "00");
    StationProbe::send(st, m);
    ASSERT_TRUE(WaitUntil([&] { return shop.panel.messages.size() == 1; }));
    EXPECT_EQ(shop.panel.messages[0].text, "Com-porten är inte öppen.\r\nKontrollera inställningarna.");
    EXPECT_EQ(shop.panel.messages[0].icon, MsgIcon::Critical);

    // A port a shop server holds: each operation names the way to the machine.
    st.SetHeldBy("Verkstadsservern håller porten: använd Fenmo32 send.");
    shop.panel.messages.clear();
    Await(cmdDir_Click(st));
    Await(cmdSend_Click(st, shop.panel.send()));
    ASSERT_EQ(shop.panel.messages.size(), 2);
    EXPECT_EQ(shop.panel.messages[1].text, st.heldBy());
}

// What arrives on the line belongs to the message it came in, whatever the
// operator or the line does meanwhile.
TEST(StationSerial, EachMessageKeepsToItsOwnExchange) {
    const QByteArray store = MachineClose(BuildFrame("C", "SAV", "", "O5", "00") + "\nG5\nM30");
    const QByteArray shortStore = BuildShortFrame("S", "O6") + "\nG6\nM30%";
    struct Case {
        const char* what;
        qint16 typ;
        QByteArray message;
        std::function<void(SerialShop&)> between;  // runs after the first half arrived
        bool stored;  // the machine's program survives what came between
    };
    const QList<Case> cases = {
        // "Hämta" while the machine's own store arrives: the store is not cut,
        // and its reply, held by CTS, outlives the fetch's time-out.
        {"fetch", 1, store, [](SerialShop& s) {
             s.panel.selectedRemote = {"O9"};
             auto fetch = cmdRec_Click(s.station, s.panel.fetch());
             WaitUntil([&] { return s.port->transmittedData().contains("CLOD"); });
             s.port->setCts(false);
             Await(std::move(fetch));  // nobody answers: ends in its time-out
             s.port->setCts(true);
         }, true},
        // A damaged character aborts the message before it completes: nothing
        // stored, nothing answered "00", in either protocol.
        {"parity", 1, store, [](SerialShop& s) { s.port->raiseEvent(SerialPort::EventRxParity); }, false},
        {"parity p1", 2, shortStore, [](SerialShop& s) { s.port->raiseEvent(SerialPort::EventFrame); }, false},
    };
    for (const Case& c : cases) {
        SerialShop shop(c.typ);
        shop.settings([](GeneralSettings& g) { g.GeneralTimeout = 60, g.CtsTimeout = 5000; });
        const qsizetype half = c.message.size() / 2;
        shop.port->deliver(c.message.left(half));
        ASSERT_TRUE(WaitUntil([&] { return shop.station.serialLink().InBuffer.size() > 0; })) << c.what;
        shop.port->clearTransmitted();
        // The rest comes while whatever came between is still under way.
        QTimer::singleShot(10, [&] { shop.port->deliver(c.message.mid(half)); });
        c.between(shop);
        const QString file = c.typ == 1 ? "O5.NC" : "O6.NC";
        // A store is answered once its file is in place, after a worker's turn.
        if (c.stored) WaitUntil([&] { return shop.port->transmittedData().contains(BuildFrame("R", "SAV", "", "O5", "00")); });
        Settle(80);
        EXPECT_EQ(shop.home.exists("ncprog/" + file), c.stored) << c.what;
        EXPECT_EQ(shop.port->transmittedData().contains(BuildFrame("R", "SAV", "", "O5", "00")), c.stored && c.typ == 1)
            << c.what;
        EXPECT_FALSE(shop.panel.statuses.contains(c.stored ? "Kommando timeout." : "Mottagning klar (0 tecken ).")) << c.what;
        if (!c.stored) {  // the box comes after the message was dropped
            ASSERT_FALSE(shop.panel.messages.isEmpty()) << c.what;
            EXPECT_TRUE(shop.panel.messages.last().text.endsWith("error")) << c.what;
        }
        // The line is idle after: no receive time-out left to hit the next operation.
        Settle(shop.station.general().RecTimeout + 50);
        EXPECT_FALSE(StationProbe::recTimer(shop.station).isActive()) << c.what;
    }
}

TEST(StationSerial, OperatorWaitsWhileTheMachinesProgramGoesOut) {
    SerialShop shop(1, false);
    Station& st = shop.station;
    shop.home.write("ncprog/O1.NC", "%\r\n" + QByteArray(600, 'X') + "\r\n%");
    shop.settings([](GeneralSettings& g) { g.SendTimeout = g.CtsTimeout = 5000; });
    // The machine asks for a program; while it goes out piece by piece the
    // operator asks for the list and presses "Auto dok": both wait for the
    // line and go out after the program, never inside it.
    bool tried = false;
    QTimer::singleShot(60, [&] {
        Await(cmdDir_Click(st));
        Await(st.cmdChangeFolder_Click());
        tried = true;
    });
    const QByteArray got = shop.ask(MachineClose(BuildFrame("C", "LOD", "", "O1", "00")));
    EXPECT_TRUE(tried);
    const qsizetype end = got.indexOf('%', got.indexOf('%') + 1) + 1;  // the program's message
    EXPECT_TRUE(got.left(end).contains(QByteArray(600, 'X'))) << got.left(80).toStdString();  // whole, nothing inside
    EXPECT_TRUE(WaitUntil([&] { return shop.port->transmittedData().contains("DRQ"); }));
    EXPECT_TRUE(shop.panel.statuses.contains("Väntar: maskinens egen överföring går på linjen."));
}

// The line keeps its rate while the event thread is held busy 200 ms at a
// time: counted where the far end receives the bytes, over 5 s from the first.
TEST(StationSerial, LineKeepsItsRateWhileTheEventThreadIsBusy) {
    std::atomic<qint64> first{-1}, inWindow{0};
    QElapsedTimer clock;
    clock.start();
    SerialShop shop(1, false);
    shop.settings([](GeneralSettings& g) { g.SendTimeout = g.CtsTimeout = 5000; });
    const auto counting = QObject::connect(shop.port, &MemorySerialPort::transmitted, [&](const QByteArray& bytes) {
        const qint64 now = clock.nsecsElapsed();
        qint64 none = -1;
        first.compare_exchange_strong(none, now);
        if (now - first <= 5'000'000'000) inWindow += bytes.size();
    });
    int spins = 0;
    QTimer busy;
    QObject::connect(&busy, &QTimer::timeout, [&] {
        ++spins;
        QElapsedTimer held;
        held.start();
        while (held.elapsed() < 200) {
        }
    });
    busy.start(10);
    QByteArray m = BuildFrame("C", "SAV", "", "LONG", "00") + '\n' + QByteArray(8000, 'X');
    StationProbe::send(shop.station, m);
    ASSERT_TRUE(WaitUntil([&] { return first >= 0 && clock.nsecsElapsed() - first > 5'100'000'000; }, 10000));
    busy.stop();
    QObject::disconnect(counting);
    shop.station.cmdAbort_Click();
    SerialSettings s;
    ParseSerialSettings("9600,e,7,1", s);
    EXPECT_GE(spins, 20);
    EXPECT_GE(inWindow, 0.97 * CharactersPerSecond(s) * 5);
}
