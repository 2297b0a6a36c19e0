#pragma once
// What the link needs of a serial port, nothing more. Two implementations:
// QtSerialPort (a real device) and MemorySerialPort (tests, the simulated
// machine, benchmarks), whose far end is driven in-process.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>

struct SerialSettings {
    qint32 baud = 9600;
    char parity = 'e';  // n, e, o, m, s
    int dataBits = 7;
    int stopBits = 1;   // 1 or 2 (1.5 is taken as 2 where the device cannot)
    bool stopOneAndHalf = false;
};

// Parses a settings text such as "9600,e,7,1"; false when it is not one.
bool ParseSerialSettings(const QString& text, SerialSettings& out);
// Characters a second on the line: baud / (start + data + parity + stop bits).
double CharactersPerSecond(const SerialSettings& s);

class SerialPort : public QObject {
    Q_OBJECT
public:
    // The event codes of the serial link.
    enum Event {
        EvSend = 1,
        EvReceive = 2,
        EvCTS = 3,
        EvDSR = 4,
        EvCD = 5,
        EventBreak = 1001,
        EventCTSTO = 1002,
        EventDSRTO = 1003,
        EventFrame = 1004,
        EventOverrun = 1006,
        EventCDTO = 1007,
        EventRxOver = 1008,
        EventRxParity = 1009,
        EventTxFull = 1010,
        EventDCB = 1011,
    };

    using QObject::QObject;
    ~SerialPort() override = default;

    // Port number n (COMn); the device it names comes from the general settings.
    virtual void setCommPort(int n) = 0;
    virtual int commPort() const = 0;
    // Settings text, applied at the next open (and at once when open).
    virtual bool setSettings(const QString& settings) = 0;
    virtual QString settings() const = 0;

    // False when the port is absent, in use or the settings are invalid.
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual QString errorString() const = 0;

    // Everything received so far (the port's input), removed from the port.
    virtual QByteArray readAll() = 0;
    virtual void write(const QByteArray& data) = 0;
    // Characters written but not yet on the line.
    virtual qint64 outBufferCount() const = 0;
    // False where outBufferCount() cannot see what is still on its way (a
    // pseudo-terminal, a network redirector): a sender then reckons with the
    // line rate instead.
    virtual bool reportsQueue() const { return true; }
    // Drops received characters not yet read.
    virtual void clearInput() = 0;

    // Modem lines. modemStatus is false when the lines cannot be read.
    virtual bool modemStatus(bool* cts, bool* dsr) const = 0;

    // RTS/CTS flow control by the device itself, so that a dropped CTS stops
    // the line at once rather than after the buffers have run out. Applied at
    // the next open (and at once when open); off at first.
    virtual void setHardwareFlowControl(bool on) { (void)on; }

    // Whether the last of DC1 and DC3 the far end sent was a DC3: a plain
    // tape send holds then. Noted where the bytes arrive, so that a sender on
    // the port's thread stops before it writes another character.
    bool xoffHeld() const { return xoff_.load(std::memory_order_acquire); }
    // A new send starts free: a DC3 from before it belongs to another session.
    void forgetHold();

Q_SIGNALS:
    // One of the event codes above.
    void commEvent(int code);
    // xoffHeld() changed.
    void flowChanged();

protected:
    // Every received byte passes here, in order, before anyone reads it.
    void noteFlow(QByteArrayView received);

private:
    std::atomic<bool> xoff_{false};
};
