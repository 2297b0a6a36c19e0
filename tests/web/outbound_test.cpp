// A program going out on a serial line shows on the page as it goes: its
// size and how far the line has come, gone once the send has ended.
#include "webfixture.h"
#include "link/memoryserialport.h"

#include <QJsonArray>

TEST(WebOutbound, SerialSendShowsHowFarItHasCome) {
    TestHome home;
    home.ini("IgnoreCts=True\r\n" +
             home.machine(1, "Svarv", "Typ=1\r\nComPort=1\r\nBaudRate=9600\r\n"));
    home.write("ncprog/O1.NC", QByteArray(3000, 'A'));
    MemorySerialPort* port = nullptr;
    WebShop shop([&] { return port = new MemorySerialPort; });
    auto outbound = [&] { return shop.get("/api/machines").array().at(0).toObject().value("outbound").toObject(); };

    ASSERT_TRUE(port && port->isOpen());
    port->deliver(MachineClose(BuildFrame("C", "LOD", "", "O1", "00"), false));
    ASSERT_TRUE(WaitUntil([&] { return port->transmittedData().size() > 1000; }));
    const QJsonObject going = outbound();
    const qint64 line = port->transmittedData().size();
    // The answer's header and closing around the 3000 characters.
    EXPECT_GT(going.value("size").toInteger(), 3000);
    EXPECT_LT(going.value("size").toInteger(), 3050);
    // Ahead of the line by at most what the port holds and the piece being written.
    EXPECT_GE(going.value("written").toInteger(), line - 128);
    EXPECT_LE(going.value("written").toInteger(), line + 256 + 128);
    EXPECT_GT(going.value("ms").toInteger(), 0);

    ASSERT_TRUE(WaitUntil([&] { return port->transmittedData().endsWith('%'); }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return shop.server.station("Svarv")->Idle(); }));
    EXPECT_TRUE(outbound().isEmpty());
}
