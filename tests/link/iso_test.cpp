// Plain ISO tape machines against the simulated tape control: pacing by
// DC1/DC3, punched programs, remote requests and drip-feed.
#include "library/history.h"
#include "link/isotape.h"
#include "link/memoryserialport.h"
#include "link/qtserialport.h"
#include "link/serialpacer.h"
#include "link/stationfixture.h"
#include "machine-sim/simiso.h"
#include "support/ptypair.h"
#include <QCoro/QCoroTask>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

namespace {

// A station on an ISO machine, wired to the simulated control by an
// in-memory null-modem cable (or a pseudo-terminal pair).
struct IsoShop {
    MemorySerialPort* pc = new MemorySerialPort;
    MemorySerialPort machine;
    Shop shop{pc, 3};
    SimIsoMachine sim{shop.home.file(QStringLiteral("sim"))};

    // The control's end of the line answers at once, as a UART does, whatever
    // the test's thread is doing.
    QThread control;

    IsoShop() {
        for (MemorySerialPort* p : {pc, &machine}) p->setSettings(QStringLiteral("115200,e,7,1"));
        ConnectBackToBack(*pc, machine);
        EXPECT_TRUE(pc->open() && machine.open());
        sim.attach(&machine);
        // Its thread is scheduled like any other here, so its DC3 may leave
        // some milliseconds late on a loaded machine: its buffer leaves room
        // for that. What the PC writes after a DC3 is measured at the PC.
        sim.setBuffer(1024, 192, 64);
        control.start();
        machine.moveToThread(&control);
        sim.moveToThread(&control);
        shop.machine([](MachineSettings& m) { m.BaudRate = "115200"; m.Settings = ",e,7,1"; m.EOB = 1; });
        // Long enough that a loaded PC never takes its own stall for a cut punch.
        shop.settings([](GeneralSettings& g) { g.RecTimeout = 600; });
    }
    ~IsoShop() {
        QThread* home = QThread::currentThread();
        QMetaObject::invokeMethod(&sim, [&] {
            sim.moveToThread(home);
            machine.moveToThread(home);
        }, Qt::BlockingQueuedConnection);
        // Their running timers are registered again here by a queued call,
        // which would be lost, and with it what it carries, were it not run.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        control.quit();
        control.wait();
    }
    QString program(const QString& name, const QByteArray& text) {
        const QString path = shop.send + QLatin1Char('/') + name + QStringLiteral(".NC");
        EXPECT_TRUE(WriteProgramFile(text, path, QString()).ok);
        return path;
    }
};

QByteArray Blocks(int from, int to, const char* extra = " G01 X1.5 Y2.25 F300") {
    QByteArray text;
    for (int n = from; n <= to; n += 10) text += "N" + QByteArray::number(n) + extra + "\n";
    return text;
}

}  // namespace

TEST(IsoTape, PureHelpers) {
    EXPECT_EQ(iso::ProgramNumber("\n(SETUP)\nO1234 (FLANS)\nG90\n"), QStringLiteral("O1234"));
    EXPECT_EQ(iso::ProgramNumber(":0077\nG90\n"), QStringLiteral("O0077"));
    EXPECT_EQ(iso::ProgramNumber("G90\nO1234\n"), QString());
    const struct {
        QByteArray body;
        iso::Request::Kind kind;
        const char* name;
    } requests[] = {
        {"O1234 (SÄND)\n", iso::Request::Kind::Program, "O1234"},
        {"O1234 (s[nd)\n", iso::Request::Kind::Program, "O1234"},
        {"(LISTA)\n", iso::Request::Kind::List, ""},
        {"O1234 (SAND PLATTAN)\nG90\n", iso::Request::Kind::None, ""},
        {"O1234 (SAND)\nG0 X1\nM30\n", iso::Request::Kind::None, ""},  // a program naming the keyword
        {"O1234 (SAND)\n" + QByteArray(600, 'X'), iso::Request::Kind::None, ""},
    };
    for (const auto& r : requests) {
        const iso::Request got = iso::ParseRequest(QByteArray(r.body).replace("Ä", "\xC4"), QStringLiteral("SÄND"),
                                                   QStringLiteral("LISTA"));
        EXPECT_EQ(got.kind, r.kind) << r.body.constData();
        EXPECT_EQ(got.name, QString::fromLatin1(r.name)) << r.body.constData();
    }
}

// A restart sends the state in force at its block, never the start's, and
// refuses a block it cannot place or whose state it cannot know.
TEST(IsoTape, RestartSetUp) {
    const QByteArray mill = "%\nO7001 (FLANS)\nN10 G21 G17 G90 G40 G80\nN20 T1 M6\nN30 G54 S1000 M3\nN40 G43 H1 M8\n"
                            "N50 G0 X0 Y0\nN60 T2 M6\nN70 G55\nN80 S6000 M4\nN90 G43 H2\nN100 M8\nN110 G91 G1 F250\n"
                            "N120 X10.\nN130 M30\n%\n";
    const QByteArray lathe = "O6500\nG21 G18 G99\nT0404\nG50 S3000\nG96 S200 M03\nM08\nG00 X30. Z2.\n"
                             "G01 X11.3 Z-71.1 F0.1\nX12.\nM30\n%\n";
    const QByteArray calls = "O1000\nN10 T1 M6\nN20 M98 P2000\nN30 G1 X1 F100\nN40 T3 M6\nN50 X3\nM30\n"
                             "O2000\nN500 G91 X1\nM99\n";
    const QByteArray staged = "O1\nN10 G17 T1 M6\nN20 S800 M3\nN30 T2\nN10 G1 X2 F80\nN40 X3\nN50 G81 Z-5 R1\nN60 X5\n";
    const QByteArray macro = "O2\nT1 M6\n#1=5\nN10 X1\n";
    const struct {
        const QByteArray& text;
        const char* from;
        bool atToolChange;
        qint64 line;  // 1-based; 0 when refused
        const char* expect;  // the set-up, or a part of the refusal
    } cases[] = {
        {mill, "N120", false, 14, "O7001 (FLANS)|G21 G17 G91|G55|T2 M6|S6000 M4|G43 H2 G40|M8|G1 F250"},
        {mill, "N90", false, 11, "O7001 (FLANS)|G21 G17 G90|G55|T2 M6|S6000 M4|G43 H1 G40|M8|G0"},
        {mill, "7", false, 7, "O7001 (FLANS)|G21 G17 G90|G54|T1 M6|S1000 M3|G43 H1 G40|M8"},
        {mill, "N120", true, 8, "O7001 (FLANS)|G21 G17 G90|G54|S1000 M3|G43 H1 G40|M8|G0"},
        {mill, "N7", false, 0, "Blocket N7 finns inte i programmet."},
        {mill, "N1235", false, 0, "Blocket N1235 finns inte"},
        {mill, "L99", false, 0, "Rad 99 finns inte: programmet har 16 rader."},
        {mill, "N12X", false, 0, "Ogiltig startpunkt"},
        {lathe, "L8", false, 8, "O6500|G21 G18 G99|T0404|G50 S3000|G96 S200 M03|M08|G00"},
        {lathe, "9", false, 9, "O6500|G21 G18 G99|T0404|G50 S3000|G96 S200 M03|M08|G01 F0.1"},
        {lathe, "L1", false, 1, ""},
        {lathe, "L11", false, 0, "efter programslutet"},
        {calls, "N500", false, 0, "ligger i underprogrammet O2000"},
        {calls, "N50", false, 0, "före blocket N50 går inte att veta: rad 3 anropar ett underprogram (M98)"},
        {calls, "N50", true, 5, "O1000|G1 F100"},
        {macro, "N10", false, 0, "rad 3 är makrotext (#1=5)"},
        {staged, "N60", false, 0, "en borrcykel (G81) är aktiv"},
        {calls, "N10", true, 2, "O1000"},
        {staged, "N10", false, 0, "Blocket N10 finns 2 gånger i huvudprogrammet"},
        {staged, "N40", false, 6, "O1|G17|T1 M6|T2|S800 M3|G1 F80"},
    };
    for (const auto& c : cases) {
        const iso::Restart r = iso::FindRestart(c.text, QString::fromLatin1(c.from), c.atToolChange);
        const QString what = QStringLiteral("%1 %2").arg(QString::fromLatin1(c.from)).arg(c.atToolChange);
        EXPECT_EQ(r.resumeLine + 1, c.line) << qPrintable(what);
        if (c.line == 0) {
            EXPECT_TRUE(r.error.contains(QString::fromUtf8(c.expect))) << qPrintable(what + r.error);
        } else {
            EXPECT_EQ(r.preamble.join('|'), QByteArray(c.expect)) << qPrintable(what + r.error);
        }
    }
}

// After the machine's DC3 has reached the PC, no more than the FIFO leaves
// the line; a DC3 held past CtsTimeout ends the send with its reason, but
// one after the closing "%" (the reader off) holds back only the runout.
TEST(IsoTape, SendPausesAtXoff) {
    // stale: before the send the machine's DC3 was read, and its DC1 came but
    // an abort cleared it unread (DC1), or none came (a DC3 of an earlier
    // session); the line is free all the same.
    const struct {
        const char* fault;
        int ctsTimeout;
        bool ok;
        const char* status;
        const char* stale = "";
        int trailer = 0;
    } cases[] = {{"xoff-hold=40", 5000, true, "Sändning klar (O1234)."},
                 {"xoff-hold=400", 100, false, "XOFF längre än CtsTimeout"},
                 {"xoff-hold=0", 100, true, "Sändning klar (O1234).", "\x13\x11"},
                 {"xoff-hold=0", 100, true, "Sändning klar (O1234).", "\x13"},
                 {"stop-at-end=60000", 300, true, "Sändning klar (O1234).", "", 400}};
    for (const auto& c : cases) {
        IsoShop t;
        ASSERT_TRUE(t.sim.applyFault(QString::fromLatin1(c.fault)));
        t.shop.settings([&](GeneralSettings& g) { g.CtsTimeout = c.ctsTimeout; });
        t.shop.machine([&](MachineSettings& m) { m.Slut = c.trailer; });
        for (const char* b = c.stale; *b; ++b) {
            if (b != c.stale) Settle(50);
            t.pc->deliver(QByteArray(1, *b));
        }
        if (QByteArray(c.stale).contains(iso::DC1)) {
            t.shop.station.cmdAbort_Click();
            StationProbe::aborted(t.shop.station) = false;
        }
        const QByteArray text = "O1234\n" + Blocks(10, 1500);
        const QString path = t.program(QStringLiteral("O1234"), text);
        bool held = false;
        qint64 after = 0, most = 0;
        // Counted where the PC's port is: from the DC3's arrival there.
        QObject::connect(&t.machine, &MemorySerialPort::transmitted, t.pc, [&](const QByteArray& b) {
            if (b.contains(iso::DC3)) held = true, after = 0;
            if (b.contains(iso::DC1)) held = false;
        });
        QObject::connect(t.pc, &MemorySerialPort::transmitted, [&](const QByteArray& b) {
            if (held) most = qMax(most, after += b.size());
        });
        const bool ok = QCoro::waitFor(StationProbe::isoSend(t.shop.station, path, QStringLiteral("O1234")));
        EXPECT_EQ(ok, c.ok) << t.shop.panel.status().toStdString();
        EXPECT_GE(t.sim.xoffs(), *c.stale ? 0 : 1);
        EXPECT_LE(most, iso::kFifo);
        EXPECT_EQ(t.sim.overruns(), 0);
        EXPECT_TRUE(t.shop.panel.status().contains(QString::fromUtf8(c.status))) << t.shop.panel.status().toStdString();
        // The last characters reach the machine after the line has sent them.
        if (c.ok) {
            EXPECT_TRUE(WaitUntil([&] { return t.sim.program(QStringLiteral("O1234")) == text; }));
        }
    }
}

// A control that stops its reader with DC3 as the last characters leave
// holds nothing back: the send has ended, it is not waiting for a DC1. A low
// CTS holds them in the UART: the send ends when CTS is back.
TEST(IsoTape, SendEndsThoughHeldAfterItsLastCharacter) {
    using Hold = SerialPacer::Message::Hold;
    for (const Hold hold : {Hold::Xoff, Hold::Cts}) {
        auto* port = new MemorySerialPort;
        SerialPacer pacer(port);
        ASSERT_TRUE(port->setSettings(QStringLiteral("600,n,8,1")) && port->open());  // 60 characters a second
        bool ended = false;
        QObject::connect(&pacer, &SerialPacer::ended, [&] { ended = true; });
        pacer.start({.id = 1, .tape = true, .hold = hold, .window = 64});
        const QByteArray text(40, 'X');
        pacer.feed(1, text, true);
        ASSERT_TRUE(WaitUntil([&] { return pacer.take().written == text.size(); }));
        if (hold == Hold::Xoff) port->deliver(QByteArray(1, iso::DC3));
        else port->setCts(false);
        if (hold == Hold::Cts) {
            ASSERT_TRUE(WaitUntil([&] { return port->outBufferCount() == 0; }, 3000));
            Settle(50);
            EXPECT_FALSE(ended);
            port->setCts(true);
        }
        EXPECT_TRUE(WaitUntil([&] { return ended; }, 3000)) << int(hold);
        EXPECT_EQ(port->transmittedData(), text);
    }
}

// Only a whole, clean punch replaces the library's program, keeping what it
// replaced; a cut or damaged one is kept aside and the library is untouched.
TEST(IsoTape, PunchIsStoredOnlyWhenWhole) {
    const struct {
        const char* fault;
        bool stored;
        const char* why;
    } cases[] = {{"", true, "mottaget"}, {"cut", false, "inget avslutande %"}, {"parity", false, "tecken som inte"}};
    for (const auto& c : cases) {
        IsoShop t;
        const QString target = t.shop.rec + QStringLiteral("/O1234.NC");
        ASSERT_TRUE(WriteProgramFile("O1234\r\nG0 X0\r\n", target, QString()).ok);
        const QByteArray punched = "O1234 (FLANS)\n" + Blocks(10, 400);
        t.sim.storeProgram(QStringLiteral("O1234"), punched);
        if (*c.fault) {
            ASSERT_TRUE(t.sim.applyFault(QString::fromLatin1(c.fault)));
        }
        ASSERT_TRUE(t.sim.request(QStringLiteral("PUNCH O1234")));
        ASSERT_TRUE(WaitUntil([&] { return t.shop.log().contains(QByteArray(c.why)); })) << c.fault;
        const QByteArray crlf = QByteArray(punched).replace("\n", "\r\n");
        EXPECT_EQ(ReadFile(target), c.stored ? crlf : QByteArray("O1234\r\nG0 X0\r\n")) << c.fault;
        EXPECT_EQ(ListVersions(target).size(), c.stored ? 1 : 0);
        EXPECT_EQ(QFileInfo::exists(t.shop.rec + QStringLiteral("/O1234.ofullständig")), !c.stored) << c.fault;
    }
}

// Over a pseudo-terminal pair and the real serial port code, which cannot
// count what it has written: the punch is stored as over any line; a send to
// a control that reads on after its DC3 goes at the line's rate, so that no
// more comes after a DC3 than the control's buffer holds above its mark.
TEST(IsoTape, OverPseudoTerminal) {
    PtyPair pty;
    ASSERT_TRUE(pty.start());
    auto* pc = new QtSerialPort;
    Shop shop(pc, 3);
    shop.settings([](GeneralSettings& g) { g.IgnoreCts = true; });
    shop.machine([](MachineSettings& m) { m.EOB = 1; });
    QtSerialPort machine;
    for (auto [p, dev] : {std::pair{pc, pty.a}, std::pair{&machine, pty.b}}) {
        p->setDevice(dev);
        ASSERT_TRUE(p->setSettings(QStringLiteral("4800,e,7,1")) && p->open()) << p->errorString().toStdString();
    }
    SimIsoMachine sim(shop.home.file(QStringLiteral("sim")));
    sim.attach(&machine);
    sim.storeProgram(QStringLiteral("O0042"), "O0042\nG0 X0\nM30\n");
    ASSERT_TRUE(sim.request(QStringLiteral("PUNCH O0042")));
    // Ended once the station told it, its store's worker done with the file.
    EXPECT_TRUE(WaitUntil([&] { return shop.panel.status().startsWith("Mottagning klar (O0042"); }));
    EXPECT_EQ(ReadFile(shop.rec + QStringLiteral("/O0042.NC")), "O0042\r\nG0 X0\r\nM30\r\n");

    sim.setBuffer(320, 192, 64);
    ASSERT_TRUE(sim.applyFault(QStringLiteral("read-while-held")) && sim.applyFault(QStringLiteral("xoff-hold=20")));
    const QByteArray text = "O1234\n" + Blocks(10, 600);
    const QString path = shop.send + QStringLiteral("/O1234.NC");
    ASSERT_TRUE(WriteProgramFile(text, path, QString()).ok);
    EXPECT_TRUE(QCoro::waitFor(StationProbe::isoSend(shop.station, path, QStringLiteral("O1234")))) << shop.panel.status().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return sim.program(QStringLiteral("O1234")) == text; }));
    EXPECT_GE(sim.xoffs(), 3);
    EXPECT_LE(sim.mostAfterXoff(), 320 - 192);
    EXPECT_EQ(sim.overruns(), 0);
    sim.attach(nullptr);
}

// A request names a program of the send folder; a missing one is answered
// with a program whose comment says so; the list names the send folder.
TEST(IsoTape, RemoteRequestsAreAnswered) {
    const struct {
        const char* request;
        const char* answer;
    } cases[] = {{"SAND O1000", "O1000\nG0 X0\nM30\n"}, {"SAND O4444", "(PROGRAMMET O4444 SAKNAS)\n"},
                 {"LIST", "(LISTA 2 PROGRAM)\n(O1000)\n(O2000)\n"}};
    for (const auto& c : cases) {
        IsoShop t;
        t.program(QStringLiteral("O1000"), "O1000\nG0 X0\nM30\n");
        t.program(QStringLiteral("O2000"), "O2000\nM30\n");
        bool got = false;
        QObject::connect(&t.sim, &SimIsoMachine::programReceived, &t.shop.station, [&] { got = true; });
        ASSERT_TRUE(t.sim.request(QString::fromLatin1(c.request)));
        ASSERT_TRUE(WaitUntil([&] { return got; })) << c.request;
        EXPECT_EQ(t.sim.lastProgram(), QByteArray(c.answer)) << c.request;
        EXPECT_TRUE(WaitUntil([&] { return !t.shop.station.Busy(); }));
        if (QByteArray(c.answer).contains("SAKNAS")) {
            EXPECT_TRUE(t.shop.log().contains("O4444, som saknas"));
        }
        if (QByteArray(c.request) == "SAND O1000") {  // its row names what went out on the line
            ASSERT_FALSE(t.shop.jobs.isEmpty());
            const JobProgram row = t.shop.jobs.last().programs.value(0);
            const QByteArray line = t.pc->transmittedData();
            EXPECT_EQ(t.shop.jobs.last().kind, JobKind::MachineLoad);
            EXPECT_EQ(row.bytes, line.size());
            EXPECT_EQ(row.sha256, QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex());
        }
    }
}

// What the control punches is stored only as the whole program it is: a
// punch cut by a re-punch (DC2, or a leader and "%") is kept aside and the
// re-punch stored; a short program naming the request keyword is a program;
// a parity error before the first byte keeps the punch aside; a punch of
// several programs stores each under its own number.
TEST(IsoTape, PunchFraming) {
    const QByteArray whole = "O1001\nN10 X1\nN20 X2 (SAND)\nM30\n";
    const struct {
        const char* what;
        QByteArray line;
        bool parityFirst;
        bool stored;
        QByteArray other = {};  // a second program in the same punch, as O1002
    } cases[] = {
        {"dc2", "\x12%\nO1001\nN10 X1\nN2\x12" + QByteArray(2, '\0') + "%\n" + whole + "%\n\x14", false, true},
        {"leader", "%\nO1001\nN10 X1\nN2" + QByteArray(3, '\0') + "%\n" + whole + "%\n", false, true},
        {"request-like", "%\n" + whole + "%\n", false, true},
        {"parity", "%\n" + whole + "%\n", true, false},
        {"punch-all", "%\n" + whole + "O1002\nN10 X5\nM30\n%\n", false, true, "O1002\nN10 X5\nM30\n"},
    };
    for (const auto& c : cases) {
        IsoShop t;
        if (c.parityFirst) t.pc->raiseEvent(SerialPort::EventRxParity);
        QMetaObject::invokeMethod(&t.machine, [&] { t.machine.write(c.line); }, Qt::BlockingQueuedConnection);
        ASSERT_TRUE(WaitUntil([&] { return t.shop.log().contains(c.stored ? "O1001 mottaget" : "ofullst"); })) << c.what;
        const QString second = t.shop.rec + QStringLiteral("/O1002.NC");
        if (!c.other.isEmpty()) {
            ASSERT_TRUE(WaitUntil([&] { return t.shop.log().contains("O1002 mottaget"); }));
        }
        EXPECT_EQ(ReadFile(second), QByteArray(c.other).replace("\n", "\r\n")) << c.what;
        const QString target = t.shop.rec + QStringLiteral("/O1001.NC");
        EXPECT_EQ(ReadFile(target), c.stored ? QByteArray(whole).replace("\n", "\r\n") : QByteArray()) << c.what;
        const QStringList aside = QDir(t.shop.rec).entryList({QStringLiteral("*.ofullständig")});
        EXPECT_EQ(aside.size(), c.stored && c.line.count('%') == 2 ? 0 : 1) << c.what;
    }
    // A machine echoing a send: what comes back while the PC sends is not stored.
    IsoShop t;
    t.sim.setDripRate(100);
    const QString path = t.program(QStringLiteral("O3000"), "O3000\n" + Blocks(10, 3000));
    bool done = false;
    t.shop.station.DripFeed(path).then([&](bool) { done = true; });
    ASSERT_TRUE(WaitUntil([&] { return t.sim.blocksRun() >= 5; }));
    QMetaObject::invokeMethod(&t.machine, [&] { t.machine.write("%\nO3000\nN10 G01 X1.5 Y2.25 F300\n%\n"); },
                              Qt::BlockingQueuedConnection);
    ASSERT_TRUE(WaitUntil([&] { return t.shop.log().contains("eko av det som"); }));
    t.shop.station.cmdAbort_Click();
    ASSERT_TRUE(WaitUntil([&] { return done; }, 1000));
    EXPECT_FALSE(QFileInfo::exists(t.shop.rec + QStringLiteral("/O3000.NC")));
    EXPECT_TRUE(QDir(t.shop.rec).entryList(QDir::Files).isEmpty());
}

// A program far larger than the control's buffer runs whole at its pace;
// restarted from an N-number, the set-up in force there goes first, then the
// rest; a block that is not there sends nothing.
TEST(IsoTape, DripFeedRunsWholeAndRestarts) {
    const QByteArray text = "O2000\n(PLATTA)\nG90 G54\nT1 M6\nS1000 M3\n" + Blocks(10, 3000);  // 300 blocks, some 8 kB
    // readerOff: the control turns its reader off as the closing "%" comes
    // in, with a trailer still to go; the drip-feed has ended there.
    const struct {
        const char* from;
        qint64 blocks;  // 0: refused
        const char* first;
        bool readerOff = false;
    } cases[] = {{"", 305, "O2000|(PLATTA)|G90 G54|T1 M6|S1000 M3|N10 G01 X1.5 Y2.25 F300"},
                 {"N1200", 6 + 181, "O2000|G90|G54|T1 M6|S1000 M3|G01 F300|N1200 G01 X1.5 Y2.25 F300", true},
                 {"N1205", 0, "Blocket N1205 finns inte"}};
    for (const auto& c : cases) {
        IsoShop t;
        t.sim.setDripRate(100);  // a quarter of the line: the buffer fills even on a slow PC
        if (c.readerOff) {
            ASSERT_TRUE(t.sim.applyFault(QStringLiteral("stop-at-end=60000")));
            t.shop.machine([](MachineSettings& m) { m.Slut = 400; });
        }
        const QString path = t.program(QStringLiteral("O2000"), text);
        EXPECT_EQ(QCoro::waitFor(t.shop.station.DripFeed(path, QString::fromLatin1(c.from))), c.blocks > 0) << c.from;
        if (c.blocks == 0) {
            Settle(50);
            EXPECT_TRUE(t.pc->transmittedData().isEmpty());
            EXPECT_TRUE(t.shop.panel.status().contains(QString::fromLatin1(c.first))) << qPrintable(t.shop.panel.status());
            continue;
        }
        ASSERT_TRUE(WaitUntil([&] { return t.sim.blocksRun() >= c.blocks; })) << c.from;
        Settle(50);
        EXPECT_EQ(t.sim.blocksRun(), c.blocks);
        EXPECT_EQ(t.sim.overruns(), 0);
        EXPECT_GE(t.sim.xoffs(), 1);
        const QList<QByteArray> expected = QByteArray(c.first).split('|');
        EXPECT_EQ(t.sim.firstBlocks().mid(0, expected.size()), expected);
        EXPECT_EQ(t.sim.lastBlock(), "N3000 G01 X1.5 Y2.25 F300");
        EXPECT_TRUE(t.shop.panel.status().startsWith(QStringLiteral("Droppmatning klar (O2000)")));
        // Its progress counts the characters on the line, not those read ahead.
        static const QRegularExpression progress(QStringLiteral("^Droppmatning O2000: (\\d+) rader, (\\d+) %, \\d+ tecken/s, .+ kvar"));
        qsizetype shown = 0;
        for (const QString& line : t.shop.panel.statuses) {
            const QRegularExpressionMatch p = progress.match(line);
            if (!p.hasMatch() || *c.from) continue;
            ++shown;
            EXPECT_NEAR(p.captured(2).toInt(), p.captured(1).toInt() * 100 / c.blocks, 5) << qPrintable(line);
        }
        EXPECT_TRUE(shown > 0 || *c.from);
    }
}

// "Avbryt" stops a drip-feed at once; the stop names the last block sent
// and the last one the machine surely has, which is not later; its row names
// the characters on the line and their SHA-256.
TEST(IsoTape, AbortedDripSaysWhereItStopped) {
    IsoShop t;
    t.sim.setDripRate(100);
    const QString path = t.program(QStringLiteral("O3000"), "O3000\n" + Blocks(10, 5000));
    t.shop.station.Submit(JobKind::Drip, QStringLiteral("test"), [&](JobRun&) { return DripJob(t.shop.station, path, {}); });
    ASSERT_TRUE(WaitUntil([&] { return t.sim.blocksRun() >= 20; }));
    t.shop.station.cmdAbort_Click();
    ASSERT_TRUE(WaitUntil([&] { return !t.shop.jobs.isEmpty() && !t.shop.jobs.last().programs.isEmpty(); }, 1000));
    const JobProgram row = t.shop.jobs.last().programs.value(0);
    EXPECT_EQ(row.result, ProgramResult::Failed);
    const QString text = t.shop.station.isoStopText();
    static const QRegularExpression where(QStringLiteral("Senast sända block: rad (\\d+) .*till och med rad (\\d+) "));
    const QRegularExpressionMatch m = where.match(text);
    ASSERT_TRUE(m.hasMatch()) << text.toStdString();
    EXPECT_GE(m.captured(1).toInt(), m.captured(2).toInt());
    EXPECT_GE(m.captured(2).toInt(), 20);
    EXPECT_TRUE(t.shop.panel.status().startsWith(QStringLiteral("Droppmatningen av O3000 stoppad: avbruten.")));
    Settle(50);
    const QByteArray line = t.pc->transmittedData();
    Settle(100);
    EXPECT_EQ(t.pc->transmittedData(), line);  // nothing more goes out
    EXPECT_EQ(row.bytes, line.size());
    EXPECT_EQ(row.sha256, QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex());
}

// Stray bytes during a drip-feed are logged and counted; it stops only at
// Brustecken of them.
TEST(IsoTape, NoiseStopsADripOnlyAtItsLimit) {
    for (const int limit : {100, 3}) {
        IsoShop t;
        t.sim.setDripRate(400);
        t.shop.machine([&](MachineSettings& m) { m.Brustecken = limit; });
        const QString path = t.program(QStringLiteral("O2000"), "O2000\n" + Blocks(10, 3000));
        bool done = false, ok = false;
        t.shop.station.DripFeed(path).then([&](bool r) { ok = r, done = true; });
        ASSERT_TRUE(WaitUntil([&] { return t.sim.blocksRun() >= 5; }));
        t.pc->deliver("\x7F\x7F\x7F\x7F");
        ASSERT_TRUE(WaitUntil([&] { return done; }));
        EXPECT_EQ(ok, limit > 4) << limit;
        EXPECT_TRUE(t.shop.log().contains("Brus p")) << limit;
        EXPECT_EQ(t.shop.panel.status().contains(QStringLiteral("Brustecken=3")), limit == 3) << qPrintable(t.shop.panel.status());
    }
}
