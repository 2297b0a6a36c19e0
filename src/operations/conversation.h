#pragma once
// What an operation may do with its machine, and nothing more: open an
// exchange and await it under its time-out, send on the machine's link and
// await the line, ask the person, write a result row. The station's links,
// timers and receiving stay behind it. A handle, made from the station where
// a job's operation starts and handed to each of its steps.
#include "common/operatorpanel.h"
#include "config/generalsettings.h"
#include "config/machines.h"
#include "jobs/jobqueue.h"
#include "link/exchange.h"
#include <QCoro/QCoroTask>
#include <QStringList>
#include <optional>

class Outgoing;
class Station;
class TapeEngine;

class Conversation {
public:
    // Not explicit: an operation is called with its station.
    Conversation(Station& st) : st_(&st) {}

    const MachineSettings& machine() const;
    const GeneralSettings& general() const;
    // A serial machine's port is open; a network machine has none.
    bool portOpen() const;

    // --- The person: the job's panel ---
    OperatorPanel& panel() const;
    void status(const QString& text) const;
    // The last status text, a failed row's reason; cleared before each program.
    const QString& lastStatus() const;
    void clearStatus() const;
    void pilar(const QString& text, const QStringList& pattern) const;
    void hidePilar() const;
    void log(const QString& text) const;
    // A job cancelled while it was asked gets Cancel, or No where there is none.
    QCoro::Task<OperatorPanel::Answer> ask(QString text, QString title, MsgIcon icon,
                                           OperatorPanel::Buttons buttons) const;

    // --- The job's record; outside a job these write nothing ---
    JobRun* job() const;
    void row(const QString& name, const QString& file, qint64 bytes, const QByteArray& sha256, ProgramResult result,
             const QString& text) const;
    void fail(const QString& why) const;
    // The server stops: what has not started stays undone.
    bool closing() const;

    // --- The run ---
    // Waits until the link is the operation's own; false (the person told
    // why, the job failed) when it cannot start now.
    QCoro::Task<bool> start() const;
    // An abort, a time-out or the operation itself ended the run.
    bool aborted() const;
    // Ends the run here (a Cancel at a question, a failed check): what
    // remains is skipped. The link is left as it is.
    void cancel() const;
    // Counts the abort routine's runs: a step that outlives one can tell.
    quint64 aborts() const;
    // The transfer under way has ended, well or not.
    bool transferDone() const;
    void setTransferDone(bool done) const;

    // --- The exchange: one request and its answer, on the machine's link ---
    // Replaces one still open; its answer may come only on the same
    // connection, with the same command and name.
    Exchange& open(const QByteArray& command, const QString& name) const;
    void end(Exchange::State state = Exchange::State::Ended) const;
    // The exchange still open, if any.
    const Exchange* pending() const;
    // The last exchange, open or ended: its state, the machine's status.
    const Exchange* last() const;
    // Done: its answer came.
    bool answered() const;
    // What bounds the wait for an answer: the answer time-out, the
    // machine's receive time-out, the serial line's silence, or what is
    // already armed.
    enum class Bound { Armed, Answer, Receive, Silence };
    void arm(Bound bound) const;
    // Waits under bound until the exchange ended or the run was aborted;
    // true when it was answered.
    QCoro::Task<bool> await(Bound bound) const;

    // --- The machine's link ---
    // The network machine's connection, made afresh when fresh.
    QCoro::Task<bool> connect(bool fresh = false) const;
    // The program the link carries now, for its texts.
    void naming(const QString& program) const;
    // Before a request: bytes that start no message go.
    void clearInput() const;
    // A protocol-2 message, closed by its checksum. On the serial line it
    // goes out paced after this returns: await the line.
    void send(QByteArray message) const;
    void send(Outgoing& message) const;
    // Protocol 1 on the serial line, awaited; a program's send is true when
    // it went out whole, an abort after its end included.
    QCoro::Task<void> sendP1(QByteArray message) const;
    QCoro::Task<bool> sendP1(Outgoing& message) const;
    // Until the serial line has written what it was given; false when an
    // abort came between.
    QCoro::Task<bool> awaitLine() const;

    // --- What the machine told ---
    QStringList remoteNames() const;
    void forget(const QString& name) const;  // deleted from the machine's list
    std::optional<bool> listAnswer() const;
    void forgetListAnswer() const;
    // The last program stored from the machine.
    QByteArray storedSha() const;
    // A document's folder while it is fetched.
    void setTargetFolder(const QString& folder) const;
    void transferEnded(bool in, const QString& name, qint64 size, bool ok) const;
    TapeEngine& tape() const;

private:
    Station* st_;
};
