// What the machine and the library hold after a transfer goes wrong part-way:
// a cut send, a late copy, an answer while the line writes, a machine switch.
#include "operations/comparison.h"
#include "opshop.h"

// Protocol 1 has no checksum: the next "%" on the line would end a cut
// program on the machine and store it over the good one.
TEST(LinkFaults, SerialProtocolOne) {
    for (Link link : {Link::Short1, Link::Colon1}) {
        SCOPED_TRACE(LinkName(link));
        {
            OpShop o(link);
            o.sim.storeProgram("O1", "GOOD\r\n");
            CutSend(o, QByteArray(2000, 'X'));
            // The next request waits for the operator's yes; without it nothing goes out.
            o.panel().answers = {OperatorPanel::Answer::No};
            o.panel().messages.clear();
            Await(cmdDir_Click(o.st));
            ASSERT_EQ(o.panel().messages.size(), 1);
            EXPECT_TRUE(o.panel().messages[0].text.contains("ofullständig del av O1"));
            Settle(100);
            EXPECT_EQ(o.sim.program("O1"), QByteArray("GOOD\r\n"));
            EXPECT_EQ(o.panel().remoteFills, 0);
        }
        {
            // A comparison's copy that comes after its time-out is dropped.
            OpShop o(link);
            o.shop.home.write("ncprog/O1.NC", "LIBRARY\r\n");
            o.sim.storeProgram("O1", "MACHINE\r\n");
            QObject::connect(&o.sim, &SimMachine::messageSent, [&] { o.sim.setSilent(SimMachine::Scope::Next); });
            Await(mnuCompare_Click(o.st, o.shop.send));
            const QByteArray copy = link == Link::Short1 ? BuildShortFrame("S", "O1") + "\nMACHINE\r\n%"
                                                         : BuildColonFrame(":", "O1", "S") + "MACHINE\r\n%";
            o.machinePort.write(copy);
            Settle(100);
            EXPECT_EQ(o.shop.file("O1.NC"), QByteArray("LIBRARY\r\n"));
            EXPECT_TRUE(o.shop.log().contains("Sent svar: kopian av O1")) << o.shop.log().toStdString();
        }
        {
            // An empty memory's list is short: the open list request still takes it.
            OpShop o(link);
            o.sim.setSilent(SimMachine::Scope::All);
            auto list = cmdDir_Click(o.st);
            o.machinePort.write(link == Link::Short1 ? BuildShortFrame("D", "") + "\n%" : BuildColonFrame(":", "D", "S") + "%");
            Await(std::move(list));
            ASSERT_EQ(o.panel().remoteFills, 1) << o.panel().status().toStdString();
            EXPECT_TRUE(o.panel().remoteNames().isEmpty());
        }
    }
}

// Protocol 2: a cut message is closed with a checksum that cannot match.
// The program here makes the two characters before the cut the right
// checksum of what precedes them, so that the next request's "%" alone
// would store it. Then the machine answers the PC's list while the line
// writes its own load, and stores meanwhile: neither waits for the send.
TEST(LinkFaults, SerialProtocolTwo) {
    {
        OpShop o(Link::Serial2);
        o.sim.storeProgram("O1", "GOOD\r\n");
        const QByteArray head = BuildFrame("C", "SAV", "", "O1", "00") + '\n';
        QByteArray program = QByteArray(126 - head.size(), 'X');
        program += CalcChecksum(head + program);
        program += QByteArray(2000, 'Y');
        CutSend(o, program);
        Await(cmdDir_Click(o.st));
        ASSERT_TRUE(WaitUntil([&] { return o.panel().remoteFills == 1; })) << o.shop.log().toStdString();
        EXPECT_EQ(o.sim.program("O1"), QByteArray("GOOD\r\n"));
        EXPECT_TRUE(o.shop.log().contains("ntat svar: %RSAV")) << o.shop.log().toStdString();
    }
    OpShop o(Link::Serial2);
    auto* pc = static_cast<MemorySerialPort*>(o.st.port());
    o.shop.settings([](GeneralSettings& g) { g.RecTimeout = 200; });
    o.sim.setSilent(SimMachine::Scope::All);  // the test answers as the machine
    pc->setInstant(false);
    ASSERT_TRUE(pc->setSettings("115200,e,7,1"));
    o.shop.home.write("ncprog/O5.NC", QByteArray(12000, 'Z'));  // about a second on the line
    auto list = cmdDir_Click(o.st);
    pc->clearTransmitted();
    o.machinePort.write(Request("LOD", "O5"));
    ASSERT_TRUE(WaitUntil([&] { return pc->transmittedData().size() > 100; }));
    o.machinePort.write(Request("DRQ", "", {}, "ALL", "R") + Request("SAV", "O6", "G1X6"));
    ASSERT_TRUE(WaitUntil([&] { return o.panel().remoteFills == 1; }, 500)) << o.panel().status().toStdString();
    EXPECT_LT(pc->transmittedData().size(), 6000);  // answered while the load still went out
    Await(std::move(list));
    ASSERT_TRUE(WaitUntil([&] { return pc->transmittedData().contains(BuildFrame("R", "SAV", "", "O6", "00")); }, 5000));
    EXPECT_EQ(o.shop.file("O6.NC"), QByteArray("G1X6"));
    EXPECT_TRUE(pc->transmittedData().contains(BuildFrame("R", "LOD", "", "O5", "00") + '\n' + QByteArray(12000, 'Z') + "\r\n"));

    // Another machine picked while a program goes out: nothing more reaches either line.
    o.shop.home.ini(o.shop.home.machine(2, "Svarv 2", "Typ=1\r\nComPort=2\r\nBaudRate=115200\r\nSettings=,e,7,1\r\n"));
    pc->clearTransmitted();
    o.machinePort.write(Request("LOD", "O5"));
    ASSERT_TRUE(WaitUntil([&] { return pc->transmittedData().size() > 100; }));
    ASSERT_TRUE(o.st.ApplyMachine(2, "Svarv 2"));
    const qsizetype atSwitch = pc->transmittedData().size() + pc->outBufferCount();
    EXPECT_EQ(o.panel().status(), "Sändning avbruten (O5).");
    Settle(200);
    EXPECT_EQ(pc->transmittedData().size(), atSwitch);
}

// TCP: "Auto dok" without a connection from the machine; the PC's fetch
// timing out while the machine stores on its own connection, which goes on
// whole; a machine that stops reading what is sent to it on its own.
TEST(LinkFaults, Network) {
    OpShop o(Link::Tcp);
    ASSERT_EQ(o.st.machineConnection(), nullptr);
    Await(o.st.cmdChangeFolder_Click());
    ASSERT_TRUE(WaitUntil([&] { return o.received().startsWith("%RDRQALL"); })) << o.panel().status().toStdString();

    Peer storing;
    ASSERT_TRUE(storing.connectTo(o.st.ListeningPort()));
    const QByteArray store = Request("SAV", "O8", QByteArray(4000, 'S'));
    qsizetype stored = 0;
    QTimer trickle;  // a slow machine: the store outlasts the fetch's time-out
    QObject::connect(&trickle, &QTimer::timeout, [&] {
        storing.socket->write(store.mid(stored, 100));
        if ((stored += 100) >= store.size()) trickle.stop();
    });
    trickle.start(30);
    ASSERT_TRUE(WaitUntil([&] { return o.st.MachineReceiving(); }));
    o.sim.setSilent(SimMachine::Scope::Next);
    o.panel().selectedRemote = {"O100"};
    Await(cmdRec_Click(o.st, o.panel().fetch()));
    ASSERT_LT(stored, store.size());  // the fetch timed out while the machine still stored
    ASSERT_TRUE(WaitUntil([&] { return storing.got.mid(17, 2) == "00"; }));
    EXPECT_EQ(o.shop.file("O8.NC"), QByteArray(4000, 'S'));

    o.shop.settings([](GeneralSettings& g) { g.SendTimeout = 300; });
    o.shop.home.write("ncprog/O9.NC", QByteArray(64 << 20, 'W'));
    QTcpSocket machine;
    machine.setReadBufferSize(1);
    machine.connectToHost(QStringLiteral("127.0.0.1"), o.st.ListeningPort());
    ASSERT_TRUE(machine.waitForConnected(5000));
    machine.write(Request("LOD", "O9"));
    EXPECT_TRUE(WaitUntil([&] { return o.shop.log().contains("ndningstimeout"); }, 8000));
    EXPECT_TRUE(WaitUntil([&] { return o.st.MachineConnections() == 0; }));
}
