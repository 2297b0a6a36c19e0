#pragma once
// A simulated TC-series machine for tests, demos and shop set-up. Its
// program memory is a folder with one file per program, named exactly as the
// program and holding the body bytes as they came over the wire. It answers
// the PC's requests (protocol 2, protocol 1 short and colon form) over TCP or
// a serial port, issues its own requests to the PC, and can misbehave on
// purpose (see the fault setters).
//
// Everything is event-driven on the calling thread: the machine never
// blocks, and waitForRequests() waits in an event loop.
#include "machine-sim/simprotocol.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

class QTcpServer;
class SerialPort;

namespace sim {
class Channel;
class IncomingProgram;
class OutgoingMessage;
}

class SimMachine : public QObject {
    Q_OBJECT
public:
    using Protocol = sim::Protocol;
    using LineEnd = sim::LineEnd;

    // How long a fault lasts: not at all, for the next message it applies
    // to, or until it is switched off.
    enum class Scope { Off, Next, All };

    // The machine's own requests. In protocol 1 they are the letters L, S,
    // D and E; DirSel exists in protocol 2 only, Delete not in the colon form.
    enum class Command { Load, Save, DirAll, DirSel, Delete };

    // memoryFolder is created when missing.
    explicit SimMachine(const QString& memoryFolder, QObject* parent = nullptr);
    ~SimMachine() override;

    // --- Settings ---------------------------------------------------------
    void setProtocol(Protocol protocol) { protocol_ = protocol; }
    Protocol protocol() const { return protocol_; }
    // Line end of the machine's protocol-2 messages (default CR LF).
    void setLineEnd(LineEnd eob) { lineEnd_ = eob; }
    LineEnd lineEnd() const { return lineEnd_; }
    // How long the machine waits for the PC's answer to its own request
    // (default 10000 ms).
    void setReplyTimeout(int ms) { replyTimeoutMs_ = ms; }
    int replyTimeout() const { return replyTimeoutMs_; }

    // --- Program memory ---------------------------------------------------
    QString memoryFolder() const { return folder_; }
    // The file of a program: exact name first, then without regard to case;
    // empty when the program is missing or the name cannot be a file name.
    QString programPath(const QString& name) const;
    bool hasProgram(const QString& name) const { return !programPath(name).isEmpty(); }
    // The stored bytes; empty when missing.
    QByteArray program(const QString& name) const;
    bool storeProgram(const QString& name, const QByteArray& body);
    bool removeProgram(const QString& name);
    // Program names in list order (case-insensitive by name).
    QStringList programs() const;

    // --- Transports -------------------------------------------------------
    // Listens for the PC's connections (port 0: chosen by the system).
    bool listen(quint16 port = 0, const QHostAddress& address = QHostAddress::Any);
    quint16 serverPort() const;
    // Where the machine connects for its own requests (the PC's listening
    // port). The connection is opened by the first request and kept.
    void connectToPc(const QString& host, quint16 port);
    // Serves and sends through port (not owned; opened by the caller). With
    // a serial port attached the machine's own requests go there. On an
    // in-memory port the machine drives its RTS, which a back-to-back PC port
    // sees as CTS.
    void attachSerial(SerialPort* port);
    // Another way for the machine to drive the PC's CTS input, used instead
    // of the in-memory port's RTS. Called at once with the present state and
    // again at every change.
    void setCtsLine(std::function<void(bool)> drive);
    QString errorString() const { return error_; }

    // --- Faults -----------------------------------------------------------
    // Wrong checksum digits in protocol-2 messages the machine sends.
    void setBadChecksum(Scope scope) { badChecksum_ = scope; }
    // status instead of "00" in answers to the PC's requests (protocol 2);
    // the request itself is then not carried out.
    void setErrorStatus(const QByteArray& status, Scope scope = Scope::All);
    // No answer to the PC's requests (nothing is carried out either).
    void setSilent(Scope scope) { silent_ = scope; }
    // Every message sent in pieces of bytes with delayMs between them (0 off).
    void setSplit(int bytes, int delayMs);
    // Every message sent one byte every ms milliseconds (0 off).
    void setTrickle(int ms) { trickleMs_ = ms; }
    // Half of a message is sent, then the TCP connection is closed (on a
    // serial port the rest is never sent).
    void setDropHalfway(Scope scope) { drop_ = scope; }
    // Holds the PC's CTS low (see setCtsLine).
    void setCtsLow(bool low);
    // A program the PC stores is answered "00" but kept with one character
    // changed in its middle (a memory that does not hold what it was sent).
    void setCorruptStore(Scope scope) { corruptStore_ = scope; }
    void clearFaults();
    // The command-line form: "checksum", "checksum-next", "status=NN",
    // "silent", "silent-next", "split=BYTES:MS", "trickle=MS", "drop",
    // "drop-next", "cts-low", "corrupt-store", "corrupt-store-next". False
    // (and error) when text is none of them.
    bool applyFault(const QString& text, QString* error = nullptr);

    // --- The machine's own requests ------------------------------------------
    // Queued; each is sent once the previous one has its answer (or failed).
    void request(Command command, const QByteArray& name = {});
    // "LOD NAME", "SAV NAME", "DEL NAME", "DRQ ALL", "DRQ SEL NAME", or the
    // protocol-1 letters "L NAME", "S NAME", "E NAME", "D". False (and error)
    // when the text is none of them.
    bool request(const QString& text, QString* error = nullptr);
    // Requests queued or waiting for their answer.
    bool busy() const { return pending_.has_value() || !jobs_.isEmpty(); }
    // Runs the event loop until no request is left or timeoutMs passed;
    // true when none is left.
    bool waitForRequests(int timeoutMs = 30000);
    // The PC's last answer (empty after a time-out or a lost link).
    QByteArray lastReply() const { return lastReply_; }
    bool lastRequestOk() const { return lastOk_; }
    int failedRequests() const { return failed_; }

    // --- Traffic --------------------------------------------------------------
    QByteArray lastReceived() const { return lastReceived_; }
    QByteArray lastSent() const { return lastSent_; }

Q_SIGNALS:
    // Every complete message from the PC, and every message the machine sends
    // (as meant to go out: a dropped one is shown whole). A program message
    // over 64 KB is shown by its header and a size note only.
    void messageReceived(const QByteArray& message);
    void messageSent(const QByteArray& message);
    // The PC's answer to the machine's own request.
    void replyReceived(const QByteArray& reply);
    // A request is over: ok when the PC answered "00" with a good checksum
    // (protocol 1: the expected answer came, or for "S" the program went
    // out). reply is empty after a time-out or a lost link.
    void requestFinished(bool ok, const QByteArray& reply);
    // The last queued request is over.
    void requestsDone();
    void programStored(const QString& name);
    void programRemoved(const QString& name);
    // One line for a log: direction, link and the message with its control
    // characters written out.
    void logLine(const QString& line);

private:
    struct Job {
        Command command;
        QByteArray name;
    };
    struct Pending {
        Job job;
        QPointer<sim::Channel> channel;
        bool sent = false;
        bool finishWhenSent = false;
        bool cut = false;  // sent only in part (a dropped link)
    };

    // A message from the PC; program is set when its body went to a file.
    struct Incoming {
        QByteArray message;
        sim::IncomingProgram* program = nullptr;
    };

    void addChannel(sim::Channel* channel);
    std::unique_ptr<sim::IncomingProgram> programFor(const QByteArray& head) const;
    void onMessage(sim::Channel* channel, const Incoming& in);
    void onChannelClosed(sim::Channel* channel);
    void onDrained(sim::Channel* channel);
    void handle2(sim::Channel* channel, const Incoming& in);
    void serve2(sim::Channel* channel, const sim::Frame2& f, const Incoming& in);
    void handle1(sim::Channel* channel, const Incoming& in);
    bool answer1(const sim::Message1& m, const Incoming& in);
    void serve1(sim::Channel* channel, const sim::Message1& m, const Incoming& in);
    // Stores the body of a message from the PC under name.
    void corrupt(const QString& path);
    bool keep(const QString& name, const Incoming& in, const QByteArray& body);
    void reply2(sim::Channel* channel, const QByteArray& text);
    // A message carrying a program: head, the program, and the closing of the
    // protocol in use (protocol 2: the machine's line end and checksum; 1: "%").
    std::unique_ptr<sim::OutgoingMessage> programMessage(const QByteArray& head, const QString& name) const;
    // False when the message was cut off by the drop fault.
    bool sendMessage(sim::Channel* channel, const QByteArray& message);
    bool sendMessage(sim::Channel* channel, std::unique_ptr<sim::OutgoingMessage> message);
    void armReplyTimer();

    void startNext();
    void sendPending();
    void finish(bool ok, const QByteArray& reply);
    sim::Channel* clientChannel();
    std::unique_ptr<sim::OutgoingMessage> buildRequest(const Job& job) const;

    bool consume(Scope& scope);
    QByteArray listOf(const QString& pattern, bool narrow) const;
    void log(const QString& direction, sim::Channel* channel, const QByteArray& message);

    QString folder_;
    Protocol protocol_ = Protocol::Two;
    LineEnd lineEnd_ = LineEnd::CrLf;
    int replyTimeoutMs_ = 10000;
    QString error_;

    QTcpServer* server_ = nullptr;
    QList<QPointer<sim::Channel>> channels_;
    QPointer<sim::Channel> serial_;
    QPointer<sim::Channel> client_;
    QString pcHost_;
    quint16 pcPort_ = 0;
    std::function<void(bool)> ctsDrive_;
    bool ownCtsDrive_ = false;

    Scope badChecksum_ = Scope::Off;
    QByteArray errorStatus_;
    Scope errorScope_ = Scope::Off;
    Scope silent_ = Scope::Off;
    int splitBytes_ = 0;
    int splitDelayMs_ = 0;
    int trickleMs_ = 0;
    Scope drop_ = Scope::Off;
    Scope corruptStore_ = Scope::Off;
    bool ctsLow_ = false;

    QList<Job> jobs_;
    std::optional<Pending> pending_;
    QTimer replyTimer_;
    qint64 sentWhenArmed_ = -1;  // the request's bytes handed to its link when the timer started
    QByteArray lastReply_;
    bool lastOk_ = false;
    int failed_ = 0;
    QByteArray lastReceived_;
    QByteArray lastSent_;
};
