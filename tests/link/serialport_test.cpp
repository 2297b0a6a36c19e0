#include "link/memoryserialport.h"
#include "link/qtserialport.h"
#include "support/ptypair.h"
#include "support/testhome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace {

// Turns the event loop until done() holds. The limit only keeps a broken
// build from hanging; nothing here depends on speed.
bool WaitFor(const std::function<bool()>& done, int limitMs = 20000) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake;  // wakes the blocking loop so that the condition is looked at
    wake.start(10);
    while (!done()) {
        if (clock.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Delivers what has been posted so far.
void Settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

struct Events {
    explicit Events(SerialPort& port) {
        QObject::connect(&port, &SerialPort::commEvent, &port, [this](int code) { codes.push_back(code); });
    }
    int count(int code) const { return int(std::count(codes.begin(), codes.end(), code)); }
    std::vector<int> codes;
};

QByteArray AllByteValues() {
    QByteArray data;
    for (int i = 0; i < 256; ++i) data.append(char(i));
    return data;
}

}  // namespace

TEST(MemorySerialPort, DrainsAtTheLineRateAndSignalsTheEnd) {
    MemorySerialPort port;
    ASSERT_TRUE(port.setSettings(QStringLiteral("9600,e,7,1")));  // 960 characters a second
    ASSERT_TRUE(port.open());
    Events events(port);

    QByteArray data = AllByteValues().left(128);
    QByteArray got;
    std::vector<qint64> remaining;
    std::vector<int> order;  // 0 for a piece on the line, else the event code
    QElapsedTimer clock;
    QObject::connect(&port, &MemorySerialPort::transmitted, &port, [&](const QByteArray& piece) {
        got += piece;
        remaining.push_back(port.outBufferCount());
        order.push_back(0);
        // Never faster than the line: started before the write, this clock
        // runs ahead of the port's own.
        EXPECT_LE(got.size(), clock.nsecsElapsed() * 960 / 1000000000 + 1);
    });
    QObject::connect(&port, &SerialPort::commEvent, &port, [&](int code) { order.push_back(code); });

    clock.start();
    port.write(data);
    EXPECT_EQ(port.outBufferCount(), 128);  // nothing is on the line yet
    ASSERT_TRUE(WaitFor([&] { return events.count(SerialPort::EvSend) > 0; }));
    Settle();

    EXPECT_EQ(got, data);
    EXPECT_EQ(port.transmittedData(), data);
    ASSERT_FALSE(remaining.empty());
    for (size_t i = 1; i < remaining.size(); ++i) EXPECT_LT(remaining[i], remaining[i - 1]);
    EXPECT_EQ(remaining.back(), 0);
    EXPECT_EQ(port.outBufferCount(), 0);
    // One send event, after the last piece.
    EXPECT_EQ(events.count(SerialPort::EvSend), 1);
    EXPECT_EQ(order.back(), int(SerialPort::EvSend));
    EXPECT_EQ(events.codes.size(), 1u);

    // Closing drops what has not left yet, and no send event follows.
    port.write(data);
    port.close();
    EXPECT_EQ(port.outBufferCount(), 0);
    Settle();
    EXPECT_EQ(events.codes.size(), 1u);
    EXPECT_EQ(port.transmittedData(), data);
}

TEST(MemorySerialPort, InstantPortSendsAtOnceAndEventsArePosted) {
    MemorySerialPort port;
    port.setInstant(true);
    Events events(port);
    const QByteArray data("A\0B\x80\xFF", 5);

    port.write(data);  // closed: nothing goes out
    EXPECT_TRUE(port.transmittedData().isEmpty());
    EXPECT_FALSE(port.errorString().isEmpty());

    ASSERT_TRUE(port.open());
    port.write(data);
    EXPECT_EQ(port.transmittedData(), data);
    EXPECT_EQ(port.outBufferCount(), 0);
    EXPECT_TRUE(events.codes.empty());  // not from inside write()
    Settle();
    EXPECT_EQ(events.codes, std::vector<int>{SerialPort::EvSend});
}

TEST(MemorySerialPort, ReceivesAsPostedEventsAndClearsInput) {
    MemorySerialPort port;
    Events events(port);
    port.deliver("lost");  // closed
    ASSERT_TRUE(port.open());
    EXPECT_EQ(port.inputCount(), 0);

    const QByteArray chunk("%\0\xC5\r\n", 5);
    port.deliver(chunk);
    port.deliver(chunk);
    EXPECT_TRUE(events.codes.empty());
    Settle();
    // One event reads both chunks, bytes as they came.
    EXPECT_EQ(events.codes, std::vector<int>{SerialPort::EvReceive});
    EXPECT_EQ(port.readAll(), chunk + chunk);
    EXPECT_TRUE(port.readAll().isEmpty());

    port.deliver("stale");
    port.clearInput();
    EXPECT_EQ(port.inputCount(), 0);
    Settle();
    EXPECT_EQ(events.codes.size(), 1u);  // nothing left to announce

    port.deliver("old");
    port.close();
    ASSERT_TRUE(port.open());
    Settle();
    EXPECT_EQ(events.codes.size(), 1u);
    EXPECT_TRUE(port.readAll().isEmpty());
    port.deliver("new");
    Settle();
    EXPECT_EQ(events.codes.size(), 2u);
    EXPECT_EQ(port.readAll(), QByteArray("new"));
}

TEST(MemorySerialPort, ModemLinesAndLineErrors) {
    MemorySerialPort port;
    Events events(port);
    bool cts = true, dsr = true;
    EXPECT_FALSE(port.modemStatus(&cts, &dsr));  // closed
    EXPECT_FALSE(cts);
    port.setCts(false);  // no event from a closed port, not even later
    ASSERT_TRUE(port.open());
    Settle();
    EXPECT_TRUE(events.codes.empty());

    EXPECT_TRUE(port.modemStatus(&cts, &dsr));
    EXPECT_FALSE(cts);
    EXPECT_TRUE(dsr);
    port.setCts(true);
    port.setCts(true);  // no change, no event
    port.setDsr(false);
    port.raiseEvent(SerialPort::EventFrame);
    port.raiseEvent(SerialPort::EventBreak);
    EXPECT_TRUE(events.codes.empty());
    Settle();
    EXPECT_EQ(events.codes, (std::vector<int>{SerialPort::EvCTS, SerialPort::EvDSR, SerialPort::EventFrame,
                                              SerialPort::EventBreak}));
    EXPECT_TRUE(port.modemStatus(&cts, &dsr));
    EXPECT_TRUE(cts);
    EXPECT_FALSE(dsr);

    // An event still queued when the port closes belongs to no one.
    port.setCts(false);
    port.close();
    ASSERT_TRUE(port.open());
    Settle();
    EXPECT_EQ(events.codes.size(), 4u);

    port.setModemLinesReadable(false);
    EXPECT_FALSE(port.modemStatus(&cts, &dsr));
}

TEST(MemorySerialPort, OpenFailsWhenBusyOrBadAndReopensWithNewSettings) {
    MemorySerialPort port;
    port.setAvailable(false);
    EXPECT_FALSE(port.open());
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(port.errorString().isEmpty());
    EXPECT_EQ(port.openCount(), 0);

    port.setAvailable(true);
    EXPECT_FALSE(port.setSettings(QStringLiteral("9600,x,7,1")));
    EXPECT_FALSE(port.open());
    port.setCommPort(0);
    EXPECT_TRUE(port.setSettings(QStringLiteral("9600,e,7,1")));
    EXPECT_FALSE(port.open());

    port.setCommPort(2);
    ASSERT_TRUE(port.open());
    EXPECT_FALSE(port.open());  // already open
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.openCount(), 1);
    EXPECT_EQ(port.lastSettings(), QStringLiteral("9600,e,7,1"));
    EXPECT_EQ(port.lastCommPort(), 2);

    // A new setting waits for the next open.
    port.setCommPort(3);
    EXPECT_EQ(port.lastCommPort(), 2);
    port.close();
    port.setSettings(QStringLiteral("4800,n,8,2"));
    ASSERT_TRUE(port.open());
    EXPECT_EQ(port.openCount(), 2);
    EXPECT_EQ(port.lastSettings(), QStringLiteral("4800,n,8,2"));
    EXPECT_EQ(port.lastCommPort(), 3);
}

TEST(MemorySerialPort, BackToBackCarriesBytesAndModemLines) {
    MemorySerialPort pc, machine;
    pc.setInstant(true);
    ConnectBackToBack(pc, machine);
    ASSERT_TRUE(pc.open());
    Events events(pc);
    bool cts = true, dsr = true;
    pc.modemStatus(&cts, &dsr);
    EXPECT_FALSE(cts);  // nobody at the other end yet
    EXPECT_FALSE(dsr);

    ASSERT_TRUE(machine.open());
    Settle();
    EXPECT_EQ(events.codes, (std::vector<int>{SerialPort::EvCTS, SerialPort::EvDSR}));
    pc.modemStatus(&cts, &dsr);
    EXPECT_TRUE(cts);
    EXPECT_TRUE(dsr);

    const QByteArray data = AllByteValues();
    pc.write(data);
    ASSERT_TRUE(WaitFor([&] { return machine.inputCount() == data.size(); }));
    EXPECT_EQ(machine.readAll(), data);
    machine.write("%reply%");  // at the line rate
    ASSERT_TRUE(WaitFor([&] { return pc.inputCount() == 7; }));
    EXPECT_EQ(pc.readAll(), QByteArray("%reply%"));

    // The machine holds the PC off; closing drops both of its lines.
    events.codes.clear();
    machine.setRts(false);
    Settle();
    pc.modemStatus(&cts, &dsr);
    EXPECT_FALSE(cts);
    EXPECT_TRUE(dsr);
    machine.setRts(true);
    machine.close();
    Settle();
    pc.modemStatus(&cts, &dsr);
    EXPECT_FALSE(cts);
    EXPECT_FALSE(dsr);
    EXPECT_GE(events.count(SerialPort::EvCTS), 1);
    EXPECT_EQ(events.count(SerialPort::EvDSR), 1);
}

namespace {

struct Received {
    explicit Received(SerialPort& port) {
        QObject::connect(&port, &SerialPort::commEvent, &port, [this, &port](int code) {
            if (code == SerialPort::EvReceive && reading) bytes += port.readAll();
        });
    }
    QByteArray bytes;
    bool reading = true;
};

}  // namespace

TEST(QtSerialPort, CarriesEveryByteValueBothWaysOverAPty) {
    PtyPair pty;
    QString why;
    ASSERT_TRUE(pty.start(&why)) << why.toStdString();
    TestHome home;
    home.write(QStringLiteral("Fenmo32.INI"), "[ComPorts]\r\nCOM7=" + pty.a.toLocal8Bit() + "\r\n");

    QtSerialPort pc, machine;
    pc.setCommPort(7);
    EXPECT_EQ(pc.device(), pty.a);
    EXPECT_TRUE(pc.setSettings(QStringLiteral("9600,e,7,1")));
    ASSERT_TRUE(pc.open()) << pc.errorString().toStdString();
    machine.setDevice(pty.b);
    machine.setSettings(QStringLiteral("9600,e,7,1"));
    ASSERT_TRUE(machine.open()) << machine.errorString().toStdString();
    Events pcEvents(pc);
    Received atMachine(machine), atPc(pc);

    // A pseudo-terminal has no modem lines to read.
    bool cts = true, dsr = true;
    EXPECT_FALSE(pc.modemStatus(&cts, &dsr));
    EXPECT_FALSE(cts);
    EXPECT_FALSE(dsr);

    const QByteArray data = AllByteValues() + AllByteValues();
    pc.write(data);
    ASSERT_TRUE(WaitFor([&] { return atMachine.bytes.size() >= data.size(); }));
    EXPECT_EQ(atMachine.bytes, data);
    ASSERT_TRUE(WaitFor([&] { return pcEvents.count(SerialPort::EvSend) > 0; }));
    EXPECT_EQ(pc.outBufferCount(), 0);

    machine.write(data);
    ASSERT_TRUE(WaitFor([&] { return atPc.bytes.size() >= data.size(); }));
    EXPECT_EQ(atPc.bytes, data);

    // Input not yet read is dropped.
    atPc.reading = false;
    const int before = pcEvents.count(SerialPort::EvReceive);
    machine.write("stale");
    ASSERT_TRUE(WaitFor([&] { return pcEvents.count(SerialPort::EvReceive) > before; }));
    pc.clearInput();
    EXPECT_TRUE(pc.readAll().isEmpty());

    // A settings text that is not one keeps the port shut.
    QtSerialPort other;
    other.setCommPort(3);
    EXPECT_EQ(other.device(), QStringLiteral("/dev/ttyS2"));
    other.setDevice(pty.a);
    EXPECT_FALSE(other.setSettings(QStringLiteral("9600;e;7;1")));
    EXPECT_FALSE(other.open());
    EXPECT_FALSE(other.errorString().isEmpty());
}

TEST(QtSerialPort, ADeviceInUseIsRefused) {
    PtyPair pty;
    QString why;
    ASSERT_TRUE(pty.start(&why)) << why.toStdString();
    QtSerialPort first, second, far;
    first.setDevice(pty.a);
    second.setDevice(pty.a);
    far.setDevice(pty.b);
    ASSERT_TRUE(first.open()) << first.errorString().toStdString();
    ASSERT_TRUE(far.open()) << far.errorString().toStdString();
    Received atFar(far);

    // QSerialPort locks the device by its name.
    EXPECT_FALSE(second.open());
    EXPECT_FALSE(second.isOpen());
    EXPECT_FALSE(second.errorString().isEmpty());
    EXPECT_FALSE(first.open());  // already open
    first.write("still mine");
    ASSERT_TRUE(WaitFor([&] { return atFar.bytes.size() >= 10; }));
    EXPECT_EQ(atFar.bytes, QByteArray("still mine"));

    first.close();
    EXPECT_TRUE(second.open()) << second.errorString().toStdString();
}

TEST(QtSerialPort, HangUpClosesThePortAtTheFirstError) {
    PtyPair pty;
    QString why;
    ASSERT_TRUE(pty.start(&why)) << why.toStdString();
    QtSerialPort port;
    port.setDevice(pty.a);
    ASSERT_TRUE(port.open()) << port.errorString().toStdString();
    Events events(port);

    pty.hangUp();
    QTimer wake;  // a missed hang-up must end the test, not hang it
    wake.start(20);
    int turns = 0;
    while (port.isOpen() && turns < 200) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++turns;
    }
    ASSERT_FALSE(port.isOpen()) << "still open after " << turns << " turns";
    // One event tells the link; then the port stays quiet.
    ASSERT_TRUE(WaitFor([&] { return !events.codes.empty(); }));
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    EXPECT_EQ(events.codes, std::vector<int>{SerialPort::EventDCB});
    EXPECT_FALSE(port.errorString().isEmpty());
    port.write("nowhere");
    EXPECT_EQ(port.outBufferCount(), 0);
}
