#pragma once
// The receiving side of a station's links: what the serial line and the
// PC's own connection are receiving, until each message is complete (a
// program's text going to its file as it arrives); the hand-over to the
// station's parsers, with the connection and the exchange of the message
// being parsed; the serial messages that wait while the line writes; and a
// machine's store on a worker, while its connection's next message waits.
// Part of its Station, whose links, settings, exchanges and parsers it uses.
#include "link/machinestore.h"
#include "link/reception.h"
#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTcpSocket>
#include <deque>
#include <functional>
#include <memory>

class Station;
struct LinkState;

class Receiver {
public:
    explicit Receiver(Station& station);
    ~Receiver();

    // What socket is receiving (null socket: the serial link); null for a
    // socket the station does not know.
    Reception* of(QTcpSocket* socket);
    // What the serial line read, NULs and all.
    void fromLine(QByteArray data);
    // Adds received bytes; true when the message is complete.
    bool accumulate(Reception& r, const QByteArray& data, int protocol, bool serial, QTcpSocket* from);
    void handOver(Reception& r, LinkState& link, int protocol, QTcpSocket* from);
    // The message handed over is dealt with: whoever waits hears so now,
    // unless its store on a worker tells them once it is done.
    void parsed();
    static void passOver(Reception::Pass& skipping, QByteArray& data);
    // Serial receive time-out: runs while a message is under way on the line
    // or an exchange on it waits for its answer, and at no other time.
    void serialSilence(bool restart);
    // Before a request on socket (null: the serial line): bytes that start no message go.
    void clearInput(QTcpSocket* socket);
    // The abort routine: the messages under way on the serial line and the
    // PC's connection are dropped; with keepMachineStore, a store the
    // machine itself is sending on the line goes on. True when one did.
    bool abort(bool keepMachineStore);
    // Another machine on the serial line: nothing of the last one's is parsed.
    void newLine();
    // The line has nothing more to write: what arrived meanwhile is parsed.
    void lineFree();
    // Nothing being received, waiting to be parsed or on a worker.
    bool idle() const;

    // A program the machine sent goes to its file on a worker; done runs
    // here once it is committed or failed (fileError: what the operator is
    // told, after the machine has its answer). Meanwhile that connection's
    // next message waits, and every other connection is served.
    using StoreDone = std::function<void(const StoreResult& result, const QString& fileError)>;
    void store(const std::function<QByteArray()>& body, const QString& name, StoreDone done);
    // The connection of the message being parsed waits while its disk work
    // runs on a worker, and reads on after it.
    struct DiskWait {
        QPointer<QTcpSocket> from;
        bool serial = false;
    };
    DiskWait hold();
    void release(const DiskWait& held);

private:
    void startProgram(Reception& r, int protocol, QTcpSocket* from);
    void parseMessage(QByteArray message, std::unique_ptr<IncomingProgram> program, quint64 answers,
                      const QString& origin, LinkState& link, int protocol, QTcpSocket* from);
    // Refuses a message past MaxMessage; the rest of it is passed over.
    bool inBufferTooLarge(Reception& r);
    bool programTooLarge(Reception& r, int protocol, QTcpSocket* from);
    static qsizetype messageEnd(const Reception& r, const QByteArray& data);
    void serialReceive(const QByteArray& data);
    bool repliesOnLine(const QByteArray& message, int protocol) const;
    void runDeferred();

    Station& st_;
    Reception serial_, pc_;
    // The message being parsed, which the station's parsers and the
    // responder read and set; the tape engine counts its stores in diskWork_.
    friend class Station;
    friend class Responder;
    friend class TapeEngine;
    QTcpSocket* parsingFrom_ = nullptr;  // the connection of the message being parsed
    IncomingProgram* parsingProgram_ = nullptr;  // the program of the message being parsed
    std::unique_ptr<IncomingProgram>* parsingHeld_ = nullptr;  // and where it is held, for a store to take
    bool parseDeferred_ = false;  // its message is dealt with once the worker is done
    int diskWork_ = 0;  // stores and removals on a worker, their answers still owed
    quint64 parsingAnswers_ = 0;  // the exchange that program answers
    QString parsingOrigin_;
    // Serial messages complete while a paced send writes wait for it to end:
    // their replies never go out between two pieces of another message.
    struct Deferred {
        QByteArray message;
        std::unique_ptr<IncomingProgram> program;
        quint64 answers = 0;
        QString origin;
    };
    std::deque<Deferred> deferred_;
};
