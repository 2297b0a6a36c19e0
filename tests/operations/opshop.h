#pragma once
// A station and a simulated machine joined by one of the links: TCP
// (protocol 2), the in-memory serial line with protocol 2, or with protocol 1
// in its short or colon form.
#include "../link/stationfixture.h"
#include "link/memoryserialport.h"
#include "machine-sim/simmachine.h"

enum class Link { Tcp, Serial2, Short1, Colon1 };

inline const char* LinkName(Link l) {
    static const char* const names[] = {"Tcp", "Serial2", "Short1", "Colon1"};
    return names[int(l)];
}

struct OpShop {
    Link link;
    Shop shop;
    Station& st;
    QTemporaryDir memory;
    SimMachine sim;
    MemorySerialPort machinePort;

    explicit OpShop(Link l)
        : link(l),
          shop(l == Link::Tcp ? nullptr : new MemorySerialPort, l == Link::Tcp ? 0 : (l == Link::Serial2 ? 1 : 2)),
          st(shop.station),
          sim(memory.path()) {
        shop.settings([](GeneralSettings& g) { g.CtsTimeout = g.SendTimeout = 2000; g.GeneralTimeout = g.RecTimeout = g.SvarTimeout = 300; });
        shop.machine([l](MachineSettings& m) { m.RecTimeout = 300; m.Conversion = l == Link::Colon1; });
        sim.setReplyTimeout(3000);
        if (l == Link::Tcp) {
            EXPECT_TRUE(sim.listen(0, QHostAddress::LocalHost));
            shop.machine([&](MachineSettings& m) { m.Port = QString::number(sim.serverPort()); });
        } else {
            auto* pc = static_cast<MemorySerialPort*>(st.port());
            pc->setInstant(true);
            machinePort.setInstant(true);
            ConnectBackToBack(*pc, machinePort);
            EXPECT_TRUE(pc->open());
            EXPECT_TRUE(machinePort.open());
            sim.attachSerial(&machinePort);
            sim.setProtocol(l == Link::Serial2 ? SimMachine::Protocol::Two
                            : l == Link::Short1 ? SimMachine::Protocol::OneShort
                                                : SimMachine::Protocol::OneColon);
        }
    }
    ScriptedPanel& panel() { return shop.panel; }
    // What the machine received last, once it has received anything new.
    QByteArray received() const { return sim.lastReceived(); }
};

// A send of a program that the machine cuts by dropping CTS after its first piece.
inline void CutSend(OpShop& o, const QByteArray& program) {
    o.shop.settings([](GeneralSettings& g) { g.CtsTimeout = 100; });
    o.shop.home.write("ncprog/O1.NC", program);
    o.panel().selectedLocal = {"O1.NC"};
    auto hold = std::make_shared<QMetaObject::Connection>();
    *hold = QObject::connect(static_cast<MemorySerialPort*>(o.st.port()), &MemorySerialPort::transmitted, [&o, hold] {
        o.sim.setCtsLow(true);
        QObject::disconnect(*hold);
    });
    Await(cmdSend_Click(o.st, o.panel().send()));
    o.sim.setCtsLow(false);
}
