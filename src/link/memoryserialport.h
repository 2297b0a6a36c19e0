#pragma once
// A serial port in memory for tests, the simulated machine and benchmarks.
// Its far end is driven in-process: bytes are delivered to it, its modem lines
// are set, line errors are raised; what it sends leaves through transmitted().
//
// Written bytes leave at the line rate of the settings text (characters a
// second, measured on a clock, not by counting timer ticks) unless the port is
// instant. Events reach commEvent() as posted events, as from a real port,
// on the port's thread; its line clock runs there too. Every function may be
// called from any thread (a station's port lives on the serial thread, the
// test or machine that drives its far end on another).
#include "link/serialport.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QRecursiveMutex>
#include <QTimer>

class MemorySerialPort : public SerialPort {
    Q_OBJECT
public:
    // How often, at most, the transmit buffer drains while it holds anything
    // (faster lines drain more often).
    static constexpr int DrainTickMs = 4;

    explicit MemorySerialPort(QObject* parent = nullptr);

    void setCommPort(int n) override;
    int commPort() const override;
    bool setSettings(const QString& settings) override;
    QString settings() const override;

    bool open() override;
    void close() override;
    bool isOpen() const override;
    QString errorString() const override;

    QByteArray readAll() override;
    void write(const QByteArray& data) override;
    qint64 outBufferCount() const override;
    void clearInput() override;

    bool modemStatus(bool* cts, bool* dsr) const override;

    // --- The far end ---
    // Bytes arriving at the port; dropped while it is closed.
    void deliver(const QByteArray& bytes);
    // Modem lines as the far end drives them (both on at first). A change
    // raises EvCTS / EvDSR while the port is open.
    void setCts(bool on);
    void setDsr(bool on);
    bool cts() const;
    bool dsr() const;
    // Raises an event code (line error, break) while the port is open.
    void raiseEvent(int code);
    // Not available: open() fails as for a port in use.
    void setAvailable(bool available);
    // Without readable modem lines (like a pseudo-terminal) modemStatus() is false.
    void setModemLinesReadable(bool readable);
    // Instant: written bytes leave at once, whatever the rate.
    void setInstant(bool instant);
    bool instant() const;

    // --- This end's output lines (on at first), seen by the far end only
    // while the port is open: a back-to-back partner's CTS follows our RTS and
    // its DSR our DTR.
    void setRts(bool on);
    void setDtr(bool on);
    bool rts() const;
    bool dtr() const;

    // --- For tests ---
    int openCount() const;
    // Settings text and port number of the last successful open (the
    // settings also follow a change made while open).
    QString lastSettings() const;
    int lastCommPort() const;
    // Received bytes not yet read.
    qint64 inputCount() const;
    // Everything that has left the line since the start or clearTransmitted().
    QByteArray transmittedData() const;
    void clearTransmitted();

Q_SIGNALS:
    // Bytes as they leave the line.
    void transmitted(const QByteArray& bytes);
    void rtsChanged(bool on);
    void dtrChanged(bool on);

private:
    void post(int code);
    void drain();
    // Starts the line clock's ticks on the port's thread.
    void kick();
    void restartClock();
    void adaptTick();

    mutable QMutex m_;  // everything below
    // Held while bytes leave, so that they reach the far end in order
    // whichever thread drains.
    QRecursiveMutex order_;
    int tickMs_ = DrainTickMs;

    int commPort_ = 1;
    QString settings_ = QStringLiteral("9600,e,7,1");
    double charsPerSecond_ = 960;
    bool open_ = false;
    bool available_ = true;
    bool instant_ = false;
    bool linesReadable_ = true;
    bool cts_ = true;
    bool dsr_ = true;
    bool rts_ = true;
    bool dtr_ = true;
    QString error_;
    QByteArray input_;
    bool receivePosted_ = false;
    QByteArray txBuffer_;
    QElapsedTimer txClock_;
    qint64 txSinceClock_ = 0;  // characters drained since txClock_ started
    QTimer drainTimer_;
    QByteArray sent_;
    // Changes at every open and close, so that posted events of an earlier
    // session are dropped.
    quint64 session_ = 0;
    int openCount_ = 0;
    QString lastSettings_;
    int lastCommPort_ = 0;
};

// Wires two ports as a null-modem cable: what one transmits the other
// receives; each one's CTS follows the other's RTS and its DSR the other's DTR.
void ConnectBackToBack(MemorySerialPort& a, MemorySerialPort& b);
