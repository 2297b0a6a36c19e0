#include "link/memoryserialport.h"
#include "link/qtserialport.h"
#include "support/ptypair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {
// socat relays the pseudo-terminal pair: on a loaded machine (the sanitizer
// suite runs two tests at once) it may get the processor late.
constexpr int kPtyWait = 30000;

// Delivers what has been posted so far.
void RunPosted() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

// The port's events in order; with reading on, every received byte as well.
struct Watch {
    explicit Watch(SerialPort& port) {
        QObject::connect(&port, &SerialPort::commEvent, &port, [this, &port](int code) {
            codes.push_back(code);
            if (code == SerialPort::EvReceive && reading) bytes += port.readAll();
        });
    }
    int count(int code) const { return int(std::count(codes.begin(), codes.end(), code)); }
    std::vector<int> codes;
    QByteArray bytes;
    bool reading = false;
};

// The modem lines as modemStatus() gives them: "CD" both on, lower case off,
// "-" when they cannot be read (and both were reported off).
QString Lines(const SerialPort& port) {
    bool cts = true, dsr = true;
    if (!port.modemStatus(&cts, &dsr)) return cts || dsr ? "!" : "-";
    return QString(cts ? "C" : "c") + (dsr ? "D" : "d");
}

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
    Watch events(port);

    const QByteArray data = AllByteValues().left(128);
    QByteArray got;
    std::vector<qint64> remaining;
    QElapsedTimer clock;
    QObject::connect(&port, &MemorySerialPort::transmitted, &port, [&](const QByteArray& piece) {
        got += piece;
        remaining.push_back(port.outBufferCount());
        EXPECT_TRUE(events.codes.empty());  // the send event comes after the last piece
        // Never faster than the line: started before the write, this clock runs ahead of the port's own.
        EXPECT_LE(got.size(), clock.nsecsElapsed() * 960 / 1000000000 + 1);
    });

    clock.start();
    port.write(data);
    EXPECT_EQ(port.outBufferCount(), 128);  // nothing is on the line yet
    ASSERT_TRUE(WaitUntil([&] { return events.count(SerialPort::EvSend) > 0; }));
    RunPosted();
    EXPECT_EQ(got, data);
    ASSERT_FALSE(remaining.empty());
    for (size_t i = 1; i < remaining.size(); ++i) EXPECT_LT(remaining[i], remaining[i - 1]);
    EXPECT_EQ(remaining.back(), 0);
    EXPECT_EQ(events.codes, std::vector<int>{SerialPort::EvSend});

    // Closing drops what has not left yet, and no send event follows.
    port.write(data);
    port.close();
    EXPECT_EQ(port.outBufferCount(), 0);
    RunPosted();
    EXPECT_EQ(events.codes.size(), 1u);
    EXPECT_EQ(port.transmittedData(), data);
}

TEST(QtSerialPort, CarriesEveryByteValueBothWaysOverAPty) {
    PtyPair pty;
    ASSERT_TRUE(pty.start());
    QtSerialPort pc, machine;
    pc.setDevice(pty.a);
    machine.setDevice(pty.b);
    for (QtSerialPort* port : {&pc, &machine}) {
        EXPECT_TRUE(port->setSettings(QStringLiteral("9600,e,7,1")));
        ASSERT_TRUE(port->open()) << port->errorString().toStdString();
    }
    Watch atPc(pc), atMachine(machine);
    atPc.reading = atMachine.reading = true;

    // QSerialPort locks the device by its name; the refusal leaves the owner's port working.
    QtSerialPort second;
    second.setDevice(pty.a);
    EXPECT_FALSE(second.open());
    EXPECT_FALSE(pc.open());  // already open

    // A pseudo-terminal has no modem lines to read. With parity on, the
    // system doubles every received 0xFF: each still arrives once.
    EXPECT_EQ(Lines(pc), "-");

    const QByteArray data = AllByteValues() + AllByteValues();
    pc.write(data);
    ASSERT_TRUE(WaitUntil([&] { return atMachine.bytes.size() >= data.size(); }, kPtyWait));
    EXPECT_EQ(atMachine.bytes, data);
    ASSERT_TRUE(WaitUntil([&] { return atPc.count(SerialPort::EvSend) > 0; }));
    EXPECT_EQ(pc.outBufferCount(), 0);
    machine.write(data);
    ASSERT_TRUE(WaitUntil([&] { return atPc.bytes.size() >= data.size(); }, kPtyWait));
    EXPECT_EQ(atPc.bytes, data);

    // Input not yet read is dropped.
    atPc.reading = false;
    const int before = atPc.count(SerialPort::EvReceive);
    machine.write("stale");
    ASSERT_TRUE(WaitUntil([&] { return atPc.count(SerialPort::EvReceive) > before; }));
    pc.clearInput();
    EXPECT_TRUE(pc.readAll().isEmpty());

    // COMn without a device of its own; a settings text that is not one keeps the port shut.
    QtSerialPort other;
    other.setCommPort(3);
    EXPECT_EQ(other.device(), QStringLiteral("/dev/ttyS2"));
    other.setDevice(pty.a);
    EXPECT_FALSE(other.setSettings(QStringLiteral("9600;e;7;1")));
    EXPECT_FALSE(other.open());
    pc.close();
    EXPECT_TRUE(second.open()) << second.errorString().toStdString();
}

TEST(QtSerialPort, ParityMarksFlowControlOnRequestAndHangUpClosesAtTheFirstError) {
    PtyPair pty;
    ASSERT_TRUE(pty.start());
    QtSerialPort port;
    port.setDevice(pty.a);
    port.setHardwareFlowControl(true);
    ASSERT_TRUE(port.setSettings(QStringLiteral("9600,e,7,1")));
    ASSERT_TRUE(port.open()) << port.errorString().toStdString();
#ifdef Q_OS_UNIX
    auto flags = [&] {
        termios tio{};
        EXPECT_EQ(::tcgetattr(int(port.handle()), &tio), 0);
        return tio;
    };
    termios tio = flags();
    EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK | IGNPAR | ISTRIP | BRKINT), tcflag_t(INPCK | PARMRK));
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    // Both follow a change while open; without parity the marks are off.
    ASSERT_TRUE(port.setSettings(QStringLiteral("9600,n,8,1")));
    port.setHardwareFlowControl(false);
    tio = flags();
    EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK), tcflag_t(0));
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
#endif

    Watch events(port);
    pty.hangUp();
    ASSERT_TRUE(WaitUntil([&] { return !port.isOpen(); }));
    // One event tells the link; then the port stays quiet.
    ASSERT_TRUE(WaitUntil([&] { return !events.codes.empty(); }));
    Settle(200);
    EXPECT_EQ(events.codes, std::vector<int>{SerialPort::EventDCB});
    port.write("nowhere");
    EXPECT_EQ(port.outBufferCount(), 0);
}

TEST(LineErrorMarks, ErrorsAndBreaksAreCountedAndTheMarksRemoved) {
    LineErrorMarks marks;
    LineErrorMarks::Found found;
    // A character with an error stays; a break leaves nothing; 0xFF 0xFF is one 0xFF.
    EXPECT_EQ(marks.unmark(QByteArray("a\xFF\0Xb\xFF\xFF" "c\xFF\0\0d\xFF\0Y", 15), &found),
              QByteArray("aXb\xFF" "cdY"));
    EXPECT_EQ(found.errors, 2);
    EXPECT_EQ(found.breaks, 1);

    // Marks split across reads.
    found = {};
    EXPECT_EQ(marks.unmark(QByteArray("ab\xFF"), &found), QByteArray("ab"));
    EXPECT_EQ(marks.unmark(QByteArray(1, '\0'), &found), QByteArray());
    EXPECT_EQ(marks.unmark(QByteArray("Zc\xFF"), &found), QByteArray("Zc"));
    EXPECT_EQ(marks.unmark(QByteArray("\xFF\xFF"), &found), QByteArray("\xFF"));
    EXPECT_EQ(marks.unmark(QByteArray("\0\0", 2), &found), QByteArray());
    EXPECT_EQ(found.errors, 1);
    EXPECT_EQ(found.breaks, 1);

    // A mark cut short by reset() is forgotten.
    marks.unmark(QByteArray("\xFF"), &found);
    marks.reset();
    EXPECT_EQ(marks.unmark(QByteArray("\0e", 2), &found), QByteArray("\0e", 2));
}

#ifdef Q_OS_UNIX
TEST(QtSerialPort, CountsWhatTheSystemStillHoldsForSending) {
    // The same request counts a tty's output queue and a socket's unsent
    // bytes; a pseudo-terminal keeps no output queue of its own.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const QByteArray data(1000, 'x');
    ASSERT_EQ(::write(fds[0], data.constData(), data.size()), data.size());
    EXPECT_GE(SystemOutputQueue(fds[0]), data.size());
    char buf[2000];
    ASSERT_EQ(::read(fds[1], buf, sizeof buf), data.size());
    EXPECT_EQ(SystemOutputQueue(fds[0]), 0);
    EXPECT_EQ(SystemOutputQueue(-1), 0);
    ::close(fds[0]);
    ::close(fds[1]);
}
#endif
