#pragma once
// The station's paced serial send: the messages waiting for the line, in
// order, the first written in pieces by the pacer on the serial thread and
// kept fed from here; and what a cut message leaves behind on the machine.
// Part of its Station, whose port, pacer, timers and status line it uses.
#include <QByteArray>
#include <QString>
#include <deque>
#include <functional>
#include <memory>

class Outgoing;
class Station;

class SerialSender {
public:
    using SendDone = std::function<void(bool whole)>;
    explicit SerialSender(Station& station);
    ~SerialSender();

    // Queues message behind what the line is writing; done (if given)
    // learns whether it went out whole. job: the running job's own send,
    // not a reply to the machine's own request.
    void start(Outgoing& message, bool protocolOne, const QString& name, SendDone done, bool job);
    // Keeps the pacer fed with the first message.
    void pace();
    // The pacer's news: progress, the end of a message, a time-out.
    void progressed();
    void ended(quint64 id);
    void timedOut(quint64 id, bool cts);
    // The abort routine: nothing more of the jobs' sends goes out, nor of
    // the machine's replies when machinesToo; whoever waits learns of it
    // once the routine's caller has left its own text.
    void stop(bool machinesToo);
    // Another machine's line: what was cut on the old one is not this one's.
    void newLine() { spoiledClosing_.clear(); }
    // The station goes: nobody waits any more.
    void forget() { unended_ = 0; }

    // A message is being written or waits for the line.
    bool sending() const { return sending_; }
    // The line writes a message of its own, not a cut one's closing.
    bool writingMessage() const { return sending_ && !paced_.empty() && !paced_.front().closing; }
    // Sends whose end has not been told yet.
    int unended() const { return unended_; }
    // Protocol 1: the program a cut send may have left part of, and the
    // machine it was cut on; empty when none.
    const QString& cutProgram() const { return cutProgram_; }
    const QString& cutMachine() const { return cutMachine_; }
    void clearCut() { cutProgram_.clear(); }

private:
    struct Paced {
        std::unique_ptr<Outgoing> message;
        bool protocolOne = false;
        QString name;  // for the final status text
        SendDone done;
        quint64 id = 0;
        bool started = false;  // handed to the pacer
        bool whole = false;    // it had all gone out when it was stopped
        bool fedAll = false;
        bool leadingPercent = false;
        bool toldLines = false;  // "Stop in GetModemStatus" shown
        qint64 fed = 0;
        qsizetype position = 0;  // characters written (known at its end)
        quint64 generation = 0;  // the aborts before it started
        quint64 line = 0;        // the port it started on
        quint32 writtenSum = 0;  // of what went out after a leading "%"
        bool closing = false;    // the spoiled closing of a cut message
        bool job = false;        // a job's send, or one timed out: any abort stops it
    };
    using Stopped = std::shared_ptr<std::deque<Paced>>;
    void tellStopped(Stopped stopped);
    Paced make(std::unique_ptr<Outgoing> message);
    void queueClosing();
    bool markCut(const Paced& p);
    void takeWritten(Paced& p);
    void end(bool whole, bool tell = true);

    Station& st_;
    std::deque<Paced> paced_;
    int unended_ = 0;
    bool pacing_ = false;
    bool sending_ = false;
    // Protocol 2: the closing still owed to a cut message.
    QByteArray spoiledClosing_;
    // Protocol 1: the program the machine may hold a cut part of, and that machine.
    QString cutProgram_, cutMachine_;
};
