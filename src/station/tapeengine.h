#pragma once
// A station's plain ISO tape (Typ 3): the receiver that always listens for a
// punched program, the answers to the machine's remote requests, and the
// paced send and drip-feed. It owns all tape state; the station owns the
// engine and hands it its serial events.
//
// What it still takes from its station:
// - the settings: Machine, General, MachineName, LogTraffic, RecTimer's interval;
// - the port Comm; what the operator sees: panel(), Status, ShowPilar,
//   HidePilar, AddLog, AddHexLog; Aborted;
// - the signals isoWake, trafficRow, transferEnded, requestArrived, messageParsed;
// - the station as the context of its timers, stores and waits;
// and, as its friend for now, of the station's insides:
// - the serial thread's pacer_, with isoPaced_ and nextPaced_ (the tape
//   send's id among the paced sends); isoBusy_ (Busy() and the exchanges
//   wait on it); aborts_ (an abort during a send);
// - the machine's own transfers as jobs: MachineJob, MachineBy, FailJob; and,
//   as the receiver's friend, its diskWork_ for a store still on a worker.
#include "link/isotape.h"
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <memory>

class Station;
class TapeSource;

class TapeEngine {
public:
    explicit TapeEngine(Station& station);
    TapeEngine(const TapeEngine&) = delete;
    TapeEngine& operator=(const TapeEngine&) = delete;

    // A serial event; false for those it leaves to the serial link's common
    // handling (modem-line panels, break).
    bool event(int event);
    // Sends a program file as tape at the machine's pace; true when all of
    // it went out.
    QCoro::Task<bool> send(QString path, QString name);
    // "Droppmatning": the same for a program of any size that the machine
    // runs as it arrives, with progress on the status line. from: empty, a
    // block ("N120") or a line ("L120" or "120"); a restart sends the set-up
    // in force there first, or at the tool change before it (atToolChange).
    QCoro::Task<bool> drip(QString path, QString from = {}, bool atToolChange = false);
    // A tape control cannot be asked for its list or its programs: the
    // operator is told to punch from the control. Always true.
    bool cannotAsk();
    // Where the last send or drip-feed stopped, for the job and the log.
    const QString& stopText() const { return stopText_; }
    // The restart point and set-up of the last drip-feed, as shown to a person.
    const QString& restartText() const { return restartText_; }
    // The last send, whole or cut: its characters on the line and their SHA-256.
    qint64 sentBytes() const { return sentBytes_; }
    const QByteArray& sentSha() const { return sentSha_; }

private:
    Station& st_;
    void receive(const QByteArray& data);
    void punchEnd(const QString& cut);
    void store(const QString& name, const QString& partPath, qint64 size);
    void answer(const QByteArray& head);
    QCoro::Task<bool> run(std::shared_ptr<TapeSource> source, QString name, bool drip);
    // The punch goes to NAME.ofullständig until its closing "%" has come.
    bool openPart(const QString& folder);

    iso::TapeReader reader_;
    bool held_ = false;     // the machine sent DC3 and no DC1 since
    bool sawXon_ = false;
    qint64 noise_ = 0;      // bytes other than flow codes and programs during a send
    bool feeding_ = false;
    QElapsedTimer strayLogged_;
    qint64 strayBytes_ = 0;
    QTimer silence_;        // a punch that stops without its closing "%"
    QTimer deadline_;       // how long a send may wait for the machine
    // The punch under way.
    bool punching_ = false;
    QByteArray head_;       // its first bytes, until it has a name
    QString name_;
    QString damage_;        // why it cannot replace a library program
    QFile part_;
    qint64 size_ = 0;
    qint64 nextSpaceCheck_ = 0;
    bool leading_ = true;   // the line end right after "%" is not program text
    bool passOver_ = false; // too large, or the disk too full: the rest is dropped
    QByteArray first_;      // for the traffic row
    bool echo_ = false;     // began while the PC's own send was on the line
    QString lineError_;     // a parity or framing error before the punch's first byte was read
    QElapsedTimer lastData_;
    qint64 sentBytes_ = 0;
    QByteArray sentSha_;
    QString stopText_, restartText_;
};
