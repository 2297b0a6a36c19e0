#include "library/history.h"
#include "operations/comparison.h"
#include "opshop.h"

class Operations : public ::testing::TestWithParam<Link> {};

namespace {
// The request bytes the PC must put on the wire for one operation.
QByteArray ExpectedRequest(Link link, const QByteArray& p2Header, const QByteArray& p1Letter, const QByteArray& name,
                           const QByteArray& body = QByteArray()) {
    if (link == Link::Tcp) return PcClose(body.isNull() ? p2Header : p2Header + "\r\n" + body);
    if (link == Link::Serial2) return PcClose(body.isNull() ? p2Header : p2Header + "\n" + body);
    if (link == Link::Short1) return BuildShortFrame(p1Letter, name) + (body.isNull() ? "" : "\n" + body) + "\n%";
    return BuildColonFrame(":", name, p1Letter) + body + "\n%";
}
}  // namespace

TEST_P(Operations, SendTwoProgramsOneAfterTheOther) {
    OpShop o(GetParam());
    o.shop.home.write("ncprog/O1234.NC", "(FIRST)%\r\nG0X1\r\nM30\r\n%");
    o.shop.home.write("ncprog/O2.NC", "G0X2\r\n");
    o.panel().selectedLocal = {"O1234.NC", "O2.NC"};
    QList<QByteArray> order;
    QObject::connect(&o.sim, &SimMachine::messageReceived, [&](const QByteArray& m) { order << m; });
    Await(cmdSend_Click(o.st, o.panel().send()));
    WaitUntil([&] { return order.size() >= 2; }, 3000);  // protocol 1 has no answer to wait for
    ASSERT_EQ(order.size(), 2) << o.panel().status().toStdString();
    EXPECT_EQ(order[0], ExpectedRequest(GetParam(), BuildFrame("C", "SAV", "", "O1234", "00"), "S", "O1234",
                                        "\r\nG0X1\r\nM30\r\n"));
    EXPECT_EQ(order[1], ExpectedRequest(GetParam(), BuildFrame("C", "SAV", "", "O2", "00"), "S", "O2", "G0X2\r\n"));
    EXPECT_TRUE(o.sim.program("O1234").contains("G0X1\r\nM30"));
    EXPECT_TRUE(o.sim.program("O2").contains("G0X2"));
    EXPECT_FALSE(o.st.aborted()) << o.panel().status().toStdString();
    EXPECT_FALSE(o.panel().pilarVisible);
    if (GetParam() != Link::Tcp) {  // the link's own final text names this send's program
        EXPECT_TRUE(o.panel().statuses.contains("Sändning klar (O1234).")) << o.panel().statuses.join('|').toStdString();
    }
}

TEST_P(Operations, ListFetchAndDelete) {
    OpShop o(GetParam());
    o.sim.storeProgram("O100", "G1X1\r\nM30\r\n");  // its own last line end survives
    o.sim.storeProgram("O200", QByteArray(300, 'X'));
    Await(cmdDir_Click(o.st));
    ASSERT_TRUE(WaitUntil([&] { return o.panel().remoteFills == 1; })) << o.panel().status().toStdString();
    EXPECT_EQ(o.panel().remoteNames(), (QStringList{"O100", "O200"}));
    const bool colon = GetParam() == Link::Colon1;  // its list request is named "D", with the letter L
    EXPECT_EQ(o.received(),
              ExpectedRequest(o.link, BuildFrame("C", "DRQ", "ALL", "", "00"), colon ? "L" : "D", colon ? "D" : ""));
    EXPECT_EQ(o.panel().status(), "Fillista klar.");
    if (GetParam() == Link::Tcp) {  // the list's connection is closed after it
        EXPECT_TRUE(WaitUntil([&] { return o.st.pcConnection()->state() == QAbstractSocket::UnconnectedState; }));
    }

    o.panel().selectedRemote = {"O100"};
    Await(cmdRec_Click(o.st, o.panel().fetch()));
    EXPECT_EQ(o.received(), ExpectedRequest(GetParam(), BuildFrame("C", "LOD", "", "O100", "00"), "L", "O100"));
    EXPECT_EQ(o.shop.file("O100.NC"), QByteArray("G1X1\r\nM30\r\n")) << o.panel().status().toStdString();
    if (GetParam() == Link::Tcp || GetParam() == Link::Serial2) {
        EXPECT_EQ(o.panel().status(), "Mottagning klar ('O100')");
    }

    o.panel().selectedRemote = {"O200"};
    Await(cmdDel_Click(o.st, o.panel().selectedRemote.value(0)));
    ASSERT_EQ(o.panel().messages.size(), 1);
    EXPECT_EQ(o.panel().messages[0].text, "Är du säker på att du vill radera filen \"O200\"?");
    EXPECT_EQ(o.panel().messages[0].title, "Radera");
    ASSERT_TRUE(WaitUntil([&] { return !o.panel().removed.isEmpty(); })) << o.panel().status().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return !o.sim.hasProgram("O200"); }));
    EXPECT_EQ(o.panel().remoteNames(), QStringList{"O100"});
    EXPECT_EQ(o.panel().status(), "Radering utförd ('O200').");
    Settle(400);  // past SvarTimeout: an acknowledged erase leaves no time-out behind
    EXPECT_EQ(o.panel().status(), "Radering utförd ('O200').");
}

TEST_P(Operations, OverwriteQuestions) {
    OpShop o(GetParam());
    o.sim.storeProgram("O1", "NEW1");
    o.sim.storeProgram("O2", "NEW2");
    o.shop.home.write("ncprog/O1.NC", "OLD1");
    o.shop.home.write("ncprog/O2.NC", "OLD2");
    o.panel().selectedRemote = {"O1", "O2"};

    // No for the first: skipped without a request; Yes for the second.
    o.panel().answers = {OperatorPanel::Answer::No, OperatorPanel::Answer::Yes};
    Await(cmdRec_Click(o.st, o.panel().fetch()));
    ASSERT_EQ(o.panel().messages.size(), 2);
    EXPECT_EQ(o.panel().messages[0].text, "Filen finns redan. Skriva över?");
    EXPECT_EQ(o.panel().messages[0].buttons, OperatorPanel::Buttons::YesNoCancel);
    EXPECT_EQ(o.shop.file("O1.NC"), QByteArray("OLD1"));
    EXPECT_EQ(o.shop.file("O2.NC"), QByteArray("NEW2"));

    // Cancel ends the whole run at once.
    o.panel().messages.clear();
    o.panel().answers = {OperatorPanel::Answer::Cancel};
    QByteArray before = o.received();
    Await(cmdRec_Click(o.st, o.panel().fetch()));
    EXPECT_EQ(o.panel().messages.size(), 1);
    EXPECT_TRUE(o.st.aborted());
    EXPECT_EQ(o.received(), before);
    EXPECT_EQ(o.shop.file("O1.NC"), QByteArray("OLD1"));

    // Sending: the machine's list holds O1, the question comes first, also
    // for a file named in another case.
    Await(cmdDir_Click(o.st));
    ASSERT_TRUE(o.st.RemoteNames().contains("O1"));
    o.shop.home.write("ncprog/o1.nc", "LOWER");
    o.panel().selectedLocal = {"o1.nc"};
    o.panel().messages.clear();
    o.panel().answers = {OperatorPanel::Answer::No};
    before = o.received();
    Await(cmdSend_Click(o.st, o.panel().send()));
    ASSERT_EQ(o.panel().messages.size(), 1);
    EXPECT_EQ(o.panel().messages[0].text, "Filen finns redan i maskinen. Skriva över?");
    EXPECT_EQ(o.received(), before);
    EXPECT_EQ(o.sim.program("O1"), QByteArray("NEW1"));
}

TEST_P(Operations, SilentMachineEndsInItsTimeOut) {
    OpShop o(GetParam());
    o.sim.storeProgram("O1", "X");
    o.sim.setSilent(SimMachine::Scope::All);
    o.panel().selectedRemote = {"O1"};
    Await(cmdRec_Click(o.st, o.panel().fetch()));
    EXPECT_TRUE(o.st.aborted());
    EXPECT_EQ(o.panel().status(), "Inget svar från maskinen (timeout).");
    EXPECT_FALSE(o.shop.home.exists("ncprog/O1.NC"));
    EXPECT_FALSE(o.panel().pilarVisible);

    if (GetParam() == Link::Tcp || GetParam() == Link::Serial2) {
        o.shop.home.write("ncprog/O3.NC", "G3");
        o.panel().selectedLocal = {"O3.NC"};
        Await(cmdSend_Click(o.st, o.panel().send()));
        EXPECT_EQ(o.panel().status(), "Inget svar från maskinen (timeout).");
        EXPECT_EQ(o.st.serialLink().AbortReason, "Inget svar från maskinen");
    }
    if (GetParam() != Link::Tcp) {
        auto list = cmdDir_Click(o.st);
        EXPECT_TRUE(WaitUntil([&] { return StationProbe::recTimer(o.st).isActive(); }));
        Await(std::move(list));
        EXPECT_EQ(o.panel().status(), "Kommando timeout.");
    }
    if (GetParam() == Link::Tcp || GetParam() == Link::Serial2) {  // an unanswered delete ends too
        o.panel().selectedRemote = {"O1"};
        Await(cmdDel_Click(o.st, o.panel().selectedRemote.value(0)));
        ASSERT_TRUE(WaitUntil([&] { return o.panel().status() == "Inget svar från maskinen (timeout)."; }));
        EXPECT_FALSE(o.panel().pilarVisible);
    }
}

INSTANTIATE_TEST_SUITE_P(AllLinks, Operations, ::testing::Values(Link::Tcp, Link::Serial2, Link::Short1, Link::Colon1),
                         [](const auto& info) { return std::string(LinkName(info.param)); });

TEST(OperationsNames, TypedNamesAreCheckedAndDocumentsGoToTheirFolder) {
    OpShop o(Link::Tcp);
    o.panel().inputs = {"../etc"};
    const QByteArray before = o.received();
    Await(mnuRecManual_Click(o.st, o.panel().tree));
    ASSERT_EQ(o.panel().messages.size(), 1);
    EXPECT_TRUE(o.panel().messages[0].text.startsWith("Ogiltigt programnamn"));
    EXPECT_EQ(o.received(), before);

    o.panel().inputs = {QString()};
    Await(mnuRecManual_Click(o.st, o.panel().tree));
    EXPECT_EQ(o.panel().status(), "Väntar på svar...");

    const QString docs = o.shop.home.file("ncprog/dokument");
    QDir().mkpath(docs);
    o.shop.machine([&](MachineSettings& m) { m.DocPath = docs; });
    o.sim.storeProgram("TOOLS", "T1 D10");
    Await(mnuDocs_Click(o.st, "TOOLS"));
    EXPECT_EQ(o.panel().tree, docs);
    ASSERT_TRUE(WaitUntil([&] { return o.shop.home.exists("ncprog/dokument/TOOLS.NC"); }));
    EXPECT_EQ(o.shop.home.read("ncprog/dokument/TOOLS.NC"), QByteArray("T1 D10"));

    // Names the request would cut to another program's are refused, nothing sent.
    o.shop.home.write("ncprog/O1234567.NC", "G1");
    o.shop.home.write("ncprog/NOEXT", "G1");
    const QByteArray sent = o.received();
    for (const QStringList& files : {QStringList{"O1.NC", "O1234567.NC"}, QStringList{"NOEXT"}}) {
        o.panel().messages.clear();
        o.panel().selectedLocal = files;
        Await(cmdSend_Click(o.st, o.panel().send()));
        ASSERT_EQ(o.panel().messages.size(), 1);
        EXPECT_TRUE(o.panel().messages[0].text.startsWith("Ogiltigt programnamn")) << o.panel().messages[0].text.toStdString();
    }
    EXPECT_TRUE(o.panel().messages[0].text.contains("NOEXT"));
    o.panel().selectedRemote = {"O1234567"};
    o.panel().messages.clear();
    Await(cmdDel_Click(o.st, o.panel().selectedRemote.value(0)));
    Await(cmdRec_Click(o.st, o.panel().fetch()));
    ASSERT_EQ(o.panel().messages.size(), 2);  // no delete question: refused first
    EXPECT_TRUE(o.panel().messages[0].text.contains("längre än maskinens 6 tecken"));
    EXPECT_EQ(o.received(), sent);
}

// Protocol 2: the machine's error status is shown with its text; a fetch that
// keeps arriving byte by byte (also a first packet holding "%" alone) is
// never cut off by the receive time-out, which measures silence only.
TEST(OperationsProtocolTwo, ErrorStatusIsShownWithItsTextAndATrickleIsNeverCutOff) {
    for (Link link : {Link::Tcp, Link::Serial2}) {
        OpShop o(link);
        o.shop.home.write("errors.ini", "[Errors]\r\ne08=Programmet finns inte i maskinen.\r\n");
        o.panel().selectedRemote = {"O9"};
        Await(cmdRec_Click(o.st, o.panel().fetch()));
        ASSERT_TRUE(WaitUntil([&] { return !o.panel().messages.isEmpty(); })) << LinkName(link);
        EXPECT_EQ(o.panel().messages.last().text, "Överföringsfel: \r\nProgrammet finns inte i maskinen.");
        EXPECT_EQ(o.panel().messages.last().title, "Fel");
        EXPECT_EQ(o.panel().messages.last().icon, MsgIcon::Critical);
        EXPECT_EQ(o.panel().status(), "Mottagningsfel: 08");  // the abort routine does not wipe it
        EXPECT_TRUE(o.st.aborted());
        EXPECT_FALSE(o.shop.home.exists("ncprog/O9.NC"));

        // ~1.6 s at 3 ms a byte against receive time-outs of 800 ms: room for a loaded machine's stalls.
        const QByteArray program = QByteArray("G1X1\r\n").repeated(90);
        o.sim.storeProgram("O1", program);
        o.sim.setTrickle(3);
        o.shop.settings([](GeneralSettings& g) { g.GeneralTimeout = g.RecTimeout = 800; });
        o.panel().selectedRemote = {"O1"};
        Await(cmdRec_Click(o.st, o.panel().fetch()));
        EXPECT_EQ(o.shop.file("O1.NC"), program) << LinkName(link) << " " << o.panel().status().toStdString();
    }
}

TEST_P(Operations, CompareFetchesOutsideTheLibraryAndGoesOnPastErrors) {
    OpShop o(GetParam());
    const bool p2 = GetParam() == Link::Tcp || GetParam() == Link::Serial2;
    o.sim.storeProgram("O1", "G0X1\r\nM30\r\n");
    o.sim.storeProgram("O2", "G0X2\r\nG1Y5\r\nM30\r\n");
    o.sim.storeProgram("O3", "G0X3\nM30\n");  // line ends as the machine keeps them
    o.sim.storeProgram("O4", "M30\r\n");
    const QByteArray o1 = "(EN KOMMENTAR)%G0X1\r\nM30\r\n%", o2 = "G0X2\r\nG1Y6\r\nM30\r\n", o3 = "G0X3\r\nM30\r\n";
    o.shop.home.write("ncprog/O1.NC", o1);
    o.shop.home.write("ncprog/O2.NC", o2);
    o.shop.home.write("ncprog/o3.NC", o3);  // another case: found as a fetch finds it
    o.shop.home.write("ncprog/O5.NC", "M30\r\n");
    if (p2) {
        // Gone from the machine between its list and the fetch: answered "08".
        o.sim.storeProgram("O6", "M30\r\n");
        o.shop.home.write("ncprog/O6.NC", "M30\r\n");
        QObject::connect(&o.sim, &SimMachine::messageSent, [&](const QByteArray& m) {
            if (m.contains("RDRQ")) o.sim.removeProgram("O6");
        });
    }
    const QList<ProgramComparison> results = Await(mnuCompare_Click(o.st, o.shop.send));
    QStringList table;
    for (const ProgramComparison& c : results) table << c.name + ' ' + ComparisonText(c.result) + ' ' + c.detail;
    QStringList expected{"O1 Lika ", "O2 Olika rad 2: 'G1Y6' / 'G1Y5'", "O3 Lika heter o3.NC i biblioteket",
                         "O4 Bara i maskinen "};
    if (p2) expected << "O6 Ej jämförd maskinen svarade 08";
    expected << "O5 Bara i biblioteket ";
    EXPECT_EQ(table.join('|').toStdString(), expected.join('|').toStdString());
    EXPECT_FALSE(o.st.aborted());
    EXPECT_TRUE(o.panel().messages.isEmpty());
    const int n = p2 ? 4 : 3;
    EXPECT_EQ(o.panel().progress.first(), std::make_pair(0, n));
    EXPECT_EQ(o.panel().progress.mid(o.panel().progress.size() - 2), (QList<std::pair<int, int>>{{n, n}, {0, 0}}));
    EXPECT_EQ(o.panel().status(),
              QString("Jämförelse klar: 2 lika, 1 olika, 1 bara i maskinen, 1 bara i biblioteket%1.")
                  .arg(p2 ? ", 1 ej jämförda" : ""));
    EXPECT_TRUE(QString::fromLatin1(o.shop.log()).contains("Jämförelse O2: Olika (rad 2: 'G1Y6' / 'G1Y5')"));
    // The library is as it was, with no version kept and nothing left beside it.
    EXPECT_EQ(o.shop.file("O1.NC"), o1);
    EXPECT_EQ(o.shop.file("O2.NC"), o2);
    EXPECT_EQ(o.shop.file("o3.NC"), o3);
    EXPECT_FALSE(QFileInfo::exists(HistoryFolder()));
    EXPECT_EQ(QDir(o.shop.send).entryList(QDir::Files).size(), p2 ? 5 : 4);
    // The next fetch stores into the library again.
    o.panel().selectedRemote = {"O4"};
    Await(cmdRec_Click(o.st, o.panel().fetch()));
    EXPECT_EQ(o.shop.file("O4.NC"), QByteArray("M30\r\n"));
}

// A machine that answers every store with "00" but keeps O2 otherwise than sent.
TEST(ReadBack, SendStopsWhenTheMachineHoldsSomethingElse) {
    OpShop o(Link::Tcp);
    o.shop.settings([](GeneralSettings& g) { g.VerifyAfterSend = true; });
    QStringList requests;
    QObject::connect(&o.sim, &SimMachine::messageReceived, [&](const QByteArray& m) {
        requests << QString::fromLatin1(m.mid(1, 4) + ' ' + m.mid(9, 6).trimmed());
    });
    QObject::connect(&o.sim, &SimMachine::programStored, [&](const QString& name) {
        if (name == "O1") o.sim.setCorruptStore(SimMachine::Scope::Next);
    });
    o.shop.home.write("ncprog/O1.NC", "(FÖRST)%\r\nG0X1\r\nM30\r\n%");
    o.shop.home.write("ncprog/O2.NC", "G0X2\r\nG1Y6\r\nM30\r\n");
    o.shop.home.write("ncprog/O3.NC", "M30\r\n");
    o.panel().selectedLocal = {"O1.NC", "O2.NC", "O3.NC"};
    Await(cmdSend_Click(o.st, o.panel().send()));
    EXPECT_EQ(requests.join('|'), "CSAV O1|CLOD O1|CSAV O2|CLOD O2");
    EXPECT_TRUE(o.st.aborted());
    EXPECT_EQ(o.panel().status().toStdString(), "Kontroll misslyckades: O2 skiljer sig i maskinen.");
    const QString log = QString::fromLatin1(o.shop.log());
    EXPECT_TRUE(log.contains("Kontrollerad: O1"));
    EXPECT_FALSE(log.contains("Kontrollerad: O2"));
    EXPECT_TRUE(log.contains("Kontroll av O2: första skillnaden på rad 2: 'G1Y6' / 'G1Z6'")) << log.toStdString();
    EXPECT_EQ(o.shop.file("O2.NC"), QByteArray("G0X2\r\nG1Y6\r\nM30\r\n"));  // the library keeps what it sent
    EXPECT_EQ(o.panel().progress, (QList<std::pair<int, int>>{{0, 3}, {1, 3}, {0, 0}}));
}

// Without a temporary folder neither a comparison nor a read-back starts:
// the machine's copies never land on the library's programs. With one, the
// machine's own store while the PC fetches for a comparison goes to the
// library, a version kept, and the comparison's copy stays its own.
TEST(OperationsTemporaryFolder, NoFolderNoCopiesAndTheMachinesOwnStoreGoesToTheLibrary) {
    OpShop o(Link::Tcp);
    o.sim.storeProgram("O1", "MACHINE\r\n");
    o.shop.home.write("ncprog/O1.NC", "LIBRARY\r\n");
    const QByteArray tmp = qgetenv("TMPDIR");
    o.shop.home.write("ingen-mapp", "a file, where a folder cannot be made even by root");
    qputenv("TMPDIR", o.shop.home.file("ingen-mapp").toLocal8Bit());
    Await(mnuCompare_Click(o.st, o.shop.send));
    EXPECT_TRUE(o.panel().status().startsWith("Jämförelsen kan inte göras: ingen tillfällig mapp"));
    EXPECT_TRUE(o.received().isEmpty());
    o.shop.settings([](GeneralSettings& g) { g.VerifyAfterSend = true; });
    o.panel().selectedLocal = {"O1.NC"};
    Await(cmdSend_Click(o.st, o.panel().send()));
    EXPECT_TRUE(o.panel().status().startsWith("Kontroll av O1: ingen tillfällig mapp")) << o.panel().status().toStdString();
    qputenv("TMPDIR", tmp);
    EXPECT_EQ(o.shop.file("O1.NC"), QByteArray("LIBRARY\r\n"));

    o.sim.storeProgram("O1", "G1\r\n");
    o.shop.home.write("ncprog/O1.NC", "G1\r\n");
    o.shop.home.write("ncprog/O77.NC", "OLD\r\n");
    Peer own;
    ASSERT_TRUE(own.connectTo(o.st.ListeningPort()));
    const QByteArray store = Request("SAV", "O77", "NEW");
    own.socket->write(store.left(24));  // its header before the comparison starts
    ASSERT_TRUE(WaitUntil([&] { return o.st.MachineReceiving(); }));
    QObject::connect(&o.sim, &SimMachine::messageReceived, [&](const QByteArray& m) {
        if (m.contains("CLOD")) own.socket->write(store.mid(24));
    });
    const auto results = Await(mnuCompare_Click(o.st, o.shop.send));
    ASSERT_TRUE(WaitUntil([&] { return own.got.endsWith('%'); }));
    EXPECT_EQ(own.got, PcClose(BuildFrame("R", "SAV", "", "O77", "00")));
    EXPECT_EQ(o.shop.file("O77.NC"), QByteArray("NEW"));
    EXPECT_EQ(ListVersions(o.shop.send + "/O77.NC").size(), 1);
    ASSERT_FALSE(results.isEmpty());
    EXPECT_EQ(ComparisonText(results[0].result), "Lika");
}

// An operation owns its time-out until its exchange ends, whatever the
// operator opens meanwhile.
TEST(OperationsOwnTheirExchange, TimeOutsAndTheGuard) {
    OpShop o(Link::Tcp);
    o.shop.home.write("ncprog/O1.NC", "G1\r\n");
    o.shop.home.write("ncprog/O2.NC", "G2\r\n");
    // A dialog open for longer than the answer's time-out while the answer arrives.
    QObject::connect(&o.sim, &SimMachine::messageReceived, [&](const QByteArray& m) {
        if (m.contains("CSAVO1")) QTimer::singleShot(0, [] { Settle(600); });
    });
    o.panel().selectedLocal = {"O1.NC", "O2.NC"};
    Await(cmdSend_Click(o.st, o.panel().send()));
    EXPECT_FALSE(o.panel().statuses.contains("Inget svar från maskinen (timeout).")) << o.panel().statuses.join('|').toStdString();
    EXPECT_EQ(o.sim.program("O2"), QByteArray("G2\r\n"));

    // An unanswered request holds the machine until it ends: the next
    // operation waits, its time-out is told once, and nothing more goes out.
    o.sim.setSilent(SimMachine::Scope::All);
    o.panel().inputs = {QString("O5")};
    auto manual = mnuRecManual_Click(o.st, o.panel().tree);
    EXPECT_TRUE(WaitUntil([&] { return o.st.Busy(); }));
    o.panel().statuses.clear();
    o.panel().tree = o.shop.send;
    o.panel().selectedLocal = {"O1.NC"};
    Await(cmdSend_Click(o.st, o.panel().send()));
    Await(std::move(manual));
    EXPECT_EQ(o.panel().statuses.mid(0, 3),
              (QStringList{"Väntar på svar från maskinen. Vänta eller tryck Avbryt.", "", "Inget svar från maskinen (timeout)."}));
    EXPECT_EQ(o.panel().statuses.count("Inget svar från maskinen (timeout)."), 1);
    Settle(400);
    EXPECT_FALSE(o.received().startsWith(BuildFrame("C", "SAV", "", "O1", "00")));
    EXPECT_EQ(o.panel().status(), "Inget svar från maskinen (timeout).");
}
