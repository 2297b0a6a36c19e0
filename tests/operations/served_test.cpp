// The machine takes the initiative: the PC serves as its file server, over
// every link, with the simulated machine asking.
#include "library/programfile.h"
#include "opshop.h"

class Served : public ::testing::TestWithParam<Link> {};

namespace {
bool Ask(OpShop& o, const QString& request) {
    EXPECT_TRUE(o.sim.request(request)) << request.toStdString();
    return o.sim.waitForRequests(10000) && o.sim.lastRequestOk();
}
}  // namespace

TEST_P(Served, MachineLoadsStoresListsAndDeletes) {
    OpShop o(GetParam());
    if (GetParam() == Link::Tcp) o.sim.connectToPc("127.0.0.1", o.st.ListeningPort());
    const bool p2 = GetParam() == Link::Tcp || GetParam() == Link::Serial2;
    const bool colon = GetParam() == Link::Colon1;
    o.shop.home.write("ncprog/O10.NC", "(PC)%\r\nG0X10\r\nM30\r\n%");
    o.shop.home.write("ncprog/mottaget/O30.NC", "G30");

    // Load: the PC's program arrives in the machine's memory.
    ASSERT_TRUE(Ask(o, p2 ? "LOD O10" : "L O10"));
    EXPECT_TRUE(o.sim.program("O10").contains("G0X10\r\nM30")) << o.sim.program("O10").toStdString();
    EXPECT_FALSE(o.sim.program("O10").contains('%'));

    // Store: the machine's program lands in the tree's folder with CR LF lines.
    o.sim.storeProgram("O20", "G1X20\nM30");
    ASSERT_TRUE(Ask(o, p2 ? "SAV O20" : "S O20"));
    ASSERT_TRUE(WaitUntil([&] { return o.shop.home.exists("ncprog/O20.NC"); }));
    EXPECT_EQ(o.shop.file("O20.NC"), QByteArray("G1X20\r\nM30"));

    // List: the PC's programs of its send folder.
    ASSERT_TRUE(Ask(o, p2 ? "DRQ ALL" : "D"));
    const QByteArray list = o.sim.lastReply();
    EXPECT_TRUE(list.contains(colon ? "O10     " : "O10     0  ")) << list.toStdString();
    EXPECT_TRUE(list.contains("O20")) << list.toStdString();
    if (p2) {
        ASSERT_TRUE(Ask(o, "DRQ SEL O10"));
        EXPECT_TRUE(o.sim.lastReply().contains("O10     0  "));
        EXPECT_FALSE(Ask(o, "DRQ SEL O99"));
        EXPECT_EQ(o.sim.lastReply().mid(17, 2), QByteArray("08"));
    }

    // Delete: moved to the trash folder (the colon form has no erase).
    if (!colon) {
        ASSERT_TRUE(Ask(o, p2 ? "DEL O30" : "E O30"));
        EXPECT_FALSE(o.shop.home.exists("ncprog/mottaget/O30.NC"));
        EXPECT_EQ(QDir(o.shop.trash).entryList(QDir::Files).size(), 1);
    }
    const QByteArray log = o.shop.log();
    EXPECT_TRUE(log.contains("Skickar fil: O10") || !p2);
    EXPECT_TRUE(log.contains("Filkoll: "));
    EXPECT_TRUE(log.contains("Skickar fillista."));
    EXPECT_EQ(o.st.SerialLink.Phase, 0);
    EXPECT_EQ(o.st.NetLink.Phase, 0);
}

TEST(ServedProtocolTwo, FaultsFromTheMachine) {
    for (Link link : {Link::Tcp, Link::Serial2}) {
        OpShop o(link);
        if (link == Link::Tcp) o.sim.connectToPc("127.0.0.1", o.st.ListeningPort());
        o.shop.home.write("ncprog/O10.NC", "G0");
        // A bad checksum from the machine is answered "04".
        o.sim.setBadChecksum(SimMachine::Scope::Next);
        EXPECT_FALSE(Ask(o, "LOD O10"));
        EXPECT_EQ(o.sim.lastReply().mid(17, 2), QByteArray("04"));
        // A request split into small pieces with pauses is parsed once.
        o.sim.setSplit(5, 10);
        ASSERT_TRUE(Ask(o, "LOD O10"));
        o.sim.clearFaults();
        EXPECT_EQ(o.shop.log().count("Inkommande kommando: CLODO1000"), 2) << LinkName(link);
    }
}

INSTANTIATE_TEST_SUITE_P(AllLinks, Served, ::testing::Values(Link::Tcp, Link::Serial2, Link::Short1, Link::Colon1),
                         [](const auto& info) { return std::string(LinkName(info.param)); });
