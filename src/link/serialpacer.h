#pragma once
// The paced send of one serial line, on the serial thread: pieces of 128
// characters, each after CTS is present, and whenever 256 or more wait in the
// port a pause until fewer than 33 are left. Its CTS and send time-outs run
// there too, with the intervals the station gives at each message's start.
// The station feeds it the message's bytes ahead of the line and learns what
// happened through the signals; it decides everything else.
//
// A plain tape send is paced otherwise: no pieces and no marks, at most a
// window of characters in the port, and none written while the machine holds
// the line (its DC3, or CTS low), looked at here, where its bytes arrive.
// Where the port cannot count what it still holds, the line is reckoned at
// its rate: never more than the window plus 20 ms of the line ahead of it,
// so that after a DC3 no more than that and the reaction time's share reach
// the machine, whatever carries the bytes.
#include "link/serialport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QTimer>

class SerialPacer : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype Piece = 128;
    static constexpr qint64 HighMark = 256;
    static constexpr qint64 LowMark = 33;

    // The port becomes the pacer's child and moves to its thread with it.
    explicit SerialPacer(SerialPort* port);

    struct Message {
        quint64 id = 0;
        int ctsTimeoutMs = 0;   // 0: none
        int sendTimeoutMs = 0;  // 0: none
        bool ignoreCts = false;
        // A plain tape send: how the machine holds it, and how many
        // characters the port may hold at most.
        enum class Hold { None, Xoff, Cts };
        bool tape = false;
        Hold hold = Hold::None;
        qint64 window = 0;
    };
    enum class Stage { Idle, WaitingCts, Draining, Flowing };
    struct Written {
        qint64 count = 0;
        quint32 sum = 0;     // of every byte written
        bool ended = false;  // it had ended before the stop: nothing was cut
    };
    struct Snapshot {
        quint64 id = 0;
        Stage stage = Stage::Idle;
        qint64 lastPiece = -1;  // where the last piece written starts
        bool cts = true;
        bool linesUnreadable = false;
        qint64 written = 0;
        bool held = false;   // a tape send the machine holds
        bool ended = false;  // everything fed was written (tape: and left the port)
    };

    // --- From any thread ---
    // A new message; whatever came before it is dropped unwritten.
    void start(const Message& m);
    // The message's next bytes; last: nothing follows.
    void feed(quint64 id, const QByteArray& bytes, bool last);
    // How many more bytes it would take now (it keeps about a second of the
    // line, at least 4 KB, so that a late event thread leaves no gap).
    qint64 wanted() const;
    // Stops the message: nothing more is written once this returns.
    Written stop();
    // Characters written that may not have left the line yet: what the port
    // counts, or where it cannot, what the line rate cannot have sent.
    qint64 unsent() const;
    // What beyond that may still sit between the port and the machine: the
    // 20 ms of the line the window adds where the port cannot count.
    qint64 slack() const;
    // The present stage; the next change is signalled again.
    Snapshot take();

Q_SIGNALS:
    // The stage changed or a piece was written (one signal until take()).
    void progressed();
    // Everything fed was written and the port is below the low mark.
    void ended(quint64 id);
    // cts: the CTS time-out, else the send (drain) time-out.
    void timedOut(quint64 id, bool cts);

private:
    void pump();
    void pumpTape();
    void wake();
    void onTimeout(bool cts);
    void report();
    bool ctsPresent(bool* unreadable) const;
    // Called with m_ held: what the line rate cannot have sent yet.
    qint64 reckoned() const;

    SerialPort* port_;
    mutable QMutex m_;
    QTimer ctsTimer_, sendTimer_, drainTick_;
    Message msg_;
    bool active_ = false;
    bool last_ = false;
    bool armed_ = false;     // the CTS wait of the next piece is under way
    bool draining_ = false;
    bool reported_ = false;  // a progressed() not yet taken
    bool wakePosted_ = false;
    bool starving_ = false;
    bool askedMore_ = false;  // a tape send has reported its backlog low
    QByteArray backlog_;
    Written written_;
    Snapshot state_;
    double charsPerSecond_ = 960;
    bool queueKnown_ = true;
    QElapsedTimer clock_;
    qint64 lineFreeNs_ = 0;  // when the line will have sent all written, by its rate
};
