#pragma once
// A simulated plain-tape control on a serial port: it reads programs sent to
// it into a small buffer, paced by DC3 at a high-water mark and DC1 at a
// low one, stores them in its memory folder by program number, or runs them
// block by block as they arrive (drip mode). It punches programs and remote
// requests to the PC and can misbehave: a parity-damaged or cut punch, a DC3
// held for a while. It may run on a thread of its own, as a control's UART
// does not wait for the PC: what it was told is done there, and what it saw
// can be read from any thread.
#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <atomic>

class SerialPort;

class SimIsoMachine : public QObject {
    Q_OBJECT
public:
    explicit SimIsoMachine(const QString& memoryFolder, QObject* parent = nullptr);

    // The port is not owned and must stay open while attached.
    void attach(SerialPort* port);

    // Buffer size and its marks, in characters (default 256, 192, 64).
    void setBuffer(int size, int high, int low);
    // Drip mode: blocks are run at this many a second and never stored (0: store).
    void setDripRate(double blocksPerSecond);
    // A line without a rate (a pseudo-terminal): what the PC wrote before
    // its DC3 got there arrives all at once, so the control reads no further
    // while it holds the line, as if the PC had stopped at once.
    void setLineWithoutRate(bool on);
    // "parity", "cut", "xoff-hold=MS", "stop-at-end=MS" (its reader off with
    // DC3 as a program's closing "%" comes in, on again MS later),
    // "read-while-held" (it reads on after its DC3 even on a line without a
    // rate, as a control behind a redirector does); false (and error) for
    // anything else.
    bool applyFault(const QString& text, QString* error = nullptr);

    // "PUNCH O1234" punches a program from memory; "SAND O1234" (also
    // "SÄND") punches the request for it; "LIST" asks for the send folder's list.
    bool request(const QString& text, QString* error = nullptr);

    // Program memory: one file per program number, its text with LF ends.
    QByteArray program(const QString& name) const;
    bool storeProgram(const QString& name, const QByteArray& text);

    // What was read: the last program received whole, blocks run in drip
    // mode, characters that came while the buffer was full, DC3s sent.
    QByteArray lastProgram() const;
    qint64 blocksRun() const { return blocksRun_; }
    QByteArray lastBlock() const;
    QList<QByteArray> firstBlocks() const;
    qint64 overruns() const { return overruns_; }
    qint64 xoffs() const { return xoffs_; }
    // The most characters that came after one of its DC3s, before its DC1.
    qint64 mostAfterXoff() const { return mostAfterXoff_; }

Q_SIGNALS:
    void programReceived(const QString& name);
    void logLine(const QString& line);

private:
    void onEvent(int code);
    void take(const QByteArray& data);
    void consume();
    void runBlock();
    void flow(bool xon);
    void punch(const QByteArray& text);

    QString folder_;
    QPointer<SerialPort> port_;
    int size_ = 256, high_ = 192, low_ = 64;
    double dripRate_ = 0;
    int holdMs_ = 0;
    bool parity_ = false, cut_ = false;
    int readerOffMs_ = 0;   // stop-at-end
    int percents_ = 0;      // "%" read in

    QByteArray buffer_;     // read, not yet taken in
    bool noRate_ = false;
    bool readWhileHeld_ = false;
    qint64 afterXoff_ = 0;  // characters since the DC3 under way
    QByteArray unread_;     // a line without a rate: left on it while held
    bool inProgram_ = false;
    QByteArray program_;    // store mode: the program so far
    bool held_ = false;     // sent DC3, no DC1 since
    QTimer holdTimer_, runTimer_, readerOff_;
    mutable QMutex seen_;  // guards the two below and lastProgram_
    QByteArray lastProgram_, lastBlock_;
    QList<QByteArray> firstBlocks_;
    std::atomic<qint64> blocksRun_{0}, overruns_{0}, xoffs_{0}, mostAfterXoff_{0};
};
