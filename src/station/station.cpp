#include "station/station.h"
#include "common/dates.h"
#include "common/errorreport.h"
#include "common/log.h"
#include <QCoreApplication>
#include <QDeadlineTimer>
#include "link/incomingprogram.h"
#include "station/listener.h"
#include "link/outgoing.h"
#include "link/serialpacer.h"
#include "station/serialsender.h"
#include "link/serialthread.h"
#include "station/tapeengine.h"
#include "library/programfile.h"
#include "jobs/journal.h"
#include <QTcpSocket>

Station::Station(OperatorPanel& panel, SerialPort* port, QObject* parent)
    : QObject(parent), own_(panel), panel_(switch_), Comm(port) {
    tape_ = std::make_unique<TapeEngine>(*this);
    SerialLink.Kind = 1;
    NetLink.Kind = 0;
    if (Comm) {
        // The port moves its bytes and keeps its time on the serial thread;
        // its events and the pacer's reach this station queued.
        pacer_ = new SerialPacer(Comm);
        pacer_->moveToThread(SerialIoThread());
        connect(Comm, &SerialPort::commEvent, this, &Station::Comm_OnComm, Qt::QueuedConnection);
        connect(pacer_, &SerialPacer::progressed, this, &Station::ShowPacing, Qt::QueuedConnection);
        connect(pacer_, &SerialPacer::ended, this, &Station::PacerEnded, Qt::QueuedConnection);
        connect(pacer_, &SerialPacer::timedOut, this, &Station::PacerTimedOut, Qt::QueuedConnection);
    }
    for (QTimer* t : {&CtsTimer, &SendTimer, &RecTimer, &SvarTimer, &NetTimer, &TimeoutTimer}) {
        t->setParent(this);
        t->setTimerType(Qt::PreciseTimer);
    }
    NetTimer.setInterval(4000);
    connect(&CtsTimer, &QTimer::timeout, this, &Station::CtsTimer_Timer);
    connect(&SendTimer, &QTimer::timeout, this, &Station::SendTimer_Timer);
    connect(&RecTimer, &QTimer::timeout, this, &Station::RecTimer_Timer);
    connect(&SvarTimer, &QTimer::timeout, this, &Station::SvarTimer_Timer);
    connect(&NetTimer, &QTimer::timeout, this, &Station::NetTimer_Timer);
    connect(&TimeoutTimer, &QTimer::timeout, this, &Station::TimeoutTimer_Timer);
    ApplyGeneralSettings(General);
    // An error report in this station's code stops its own transfer only.
    onError_ = [this] {
        Aborted = true;
        ++aborts_;
        Wake();
    };
    Jobs.stopRunning = [this] { AbortJob(); };
    connect(&Jobs, &JobQueue::changed, this, [this](const Job& j) {
        // Queued too: a job killed before it started is still accounted for.
        if (JournalJobs) Journal().record(j);
    });
    connect(this, &Station::exchangeEnded, this, &Station::Wake);
    connect(this, &Station::messageParsed, this, &Station::Wake);

    comsock = new QTcpSocket(this);
    conns_.wire(comsock);
}

Station::~Station() {
    alive_.reset();
    // A job still waiting ends now, with nobody left to tell; its frame
    // would otherwise never be resumed. What its last steps say goes nowhere.
    static UnattendedPanel nobody;
    switch_.detach(&nobody);
    Jobs.close(QStringLiteral("Maskinen stängdes."));
    Aborted = true;
    sender_.forget();
    for (int round = 0; round < 100 && !waiting_.empty(); ++round) {
        auto waiting = std::move(waiting_);
        waiting_.clear();
        for (std::coroutine_handle<> h : waiting) h.resume();
    }
    // A client waiting for a job of this station hears its end while the station still stands.
    Jobs.wakeWaiters();
    conns_.close();
    if (pacer_) {
        pacer_->disconnect(this);
        Comm->disconnect(this);
        DeleteOnSerialThread(pacer_);  // the port with it
    }
}

bool Station::Traced(const QString& name, const std::function<void()>& body) {
    const ErrorOwner owner(&onError_);
    return ::Traced(name, body);
}

bool Station::Guarded(const std::function<void()>& body) {
    const ErrorOwner owner(&onError_);
    return ::Guarded(body);
}

void Station::AddLog(const QString& text) const { ::AddLog(LogPrefix + text); }

void Station::AddHexLog(const QByteArray& data, const QString& fileName, int mode) const {
    if (LogPrefix.isEmpty()) {
        ::AddHexLog(data, fileName, mode);
        return;
    }
    // "dump.log" of machine "Fräs 1" is "dump-Fräs 1.log": one file a machine.
    const QString name = MachineName;
    QString safe;
    for (const QChar c : name) safe += c.isLetterOrNumber() || c == QLatin1Char(' ') ? c : QLatin1Char('_');
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    ::AddHexLog(data, fileName.left(dot) + QLatin1Char('-') + safe + fileName.mid(dot), mode);
}

void Station::ApplyGeneralSettings(const GeneralSettings& g) {
    General = g;
    LogTraffic = g.Debug;
    TimeoutTimer.setInterval(g.GeneralTimeout);
    SvarTimer.setInterval(g.SvarTimeout);
    RecTimer.setInterval(g.RecTimeout);
    SendTimer.setInterval(g.SendTimeout);
    CtsTimer.setInterval(g.CtsTimeout);
}

void Station::Status(const QString& text) {
    Traced(QStringLiteral("Status()"), [&] {
        if (!text.isEmpty()) lastStatus_ = text;
        panel_.setStatus(text);
    });
}

void Station::ShowPilar(const QString& text, const QStringList& pattern) {
    Traced(QStringLiteral("ShowPilar()"), [&] { panel_.showPilar(text, pattern); });
}

void Station::HidePilar() {
    Traced(QStringLiteral("HidePilar()"), [&] { panel_.hidePilar(); });
}

QCoro::Task<OperatorPanel::Answer> Station::Ask(QString text, QString title, MsgIcon icon, OperatorPanel::Buttons buttons) {
    const quint64 before = aborts_;
    const OperatorPanel::Answer answer = co_await panel_.ask(std::move(text), std::move(title), icon, buttons);
    if (aborts_ == before) co_return answer;
    const bool cancels = buttons == OperatorPanel::Buttons::YesNoCancel || buttons == OperatorPanel::Buttons::OkCancel;
    co_return cancels ? OperatorPanel::Answer::Cancel : OperatorPanel::Answer::No;
}

void Station::cmdAbort_Click() { Abort(AbortScope::Everything); }

void Station::AbortExchange() { Abort(AbortScope::Exchange); }

void Station::AbortJob() { Abort(AbortScope::Job); }

void Station::Abort(AbortScope scope) {
    const bool machinesToo = scope == AbortScope::Everything;
    Traced(QStringLiteral("cmdAbort_Click()"), [&] {
        for (QTimer* t : {&TimeoutTimer, &RecTimer, &SendTimer, &SvarTimer, &CtsTimer}) t->stop();
        Aborted = true;
        ++aborts_;
        for (LinkState* l : {&NetLink, &SerialLink}) {
            l->Phase = 0;
            l->OutBuffer.clear();
        }
        // The PC's exchange ends here: its late answer is no answer.
        exchanges_.end(Exchange::State::Ended);
        // A message under way is dropped (a program's temporary file with it)
        // and the rest of it passed over: none of it is a message of its own.
        // The machine's own connections carry transfers of their own: only
        // "Avbryt" stops them, never a failure of the PC's exchange.
        // A job's cancel leaves a store the machine itself is sending on the
        // line: that program is the machine's, not the job's.
        const bool machineStoring = rx_.abort(scope == AbortScope::Job);
        // The machine's own requests that arrived whole while the line was
        // writing are still served: no abort of the PC's loses them.
        // A program going out stops, its file closed; the machine gets no
        // closing and stores nothing.
        conns_.abort(machinesToo);
        sender_.stop(machinesToo);
        // A tape send writes nothing more from here; it ends at its next wake.
        if (isoPaced_) pacer_->stop();
        if (Comm && !machineStoring) Comm->clearInput();
        HidePilar();
        Status(QString());
        Wake();
    });
    // An ISO send waits for nothing else: it learns of the abort here.
    Q_EMIT isoWake();
}

void Station::CtsTimer_Timer() {
    Aborted = true;
    AbortExchange();
    SerialLink.AbortReason = QStringLiteral("CTS timeout");
    Status(QStringLiteral("CTS timeout. Funktionen avbruten."));
    HidePilar();
}

void Station::SendTimer_Timer() {
    AbortExchange();
    Status(QStringLiteral("Sändning timeout. Sändningen avbruten."));
    HidePilar();
}

void Station::RecTimer_Timer() {
    AbortExchange();
    Status(QStringLiteral("Kommando timeout."));
    HidePilar();
}

void Station::SvarTimer_Timer() {
    Traced(QStringLiteral("DirTimer_Timer()"), [&] {
        SvarTimer.stop();
        AbortExchange();
        SerialLink.AbortReason = QStringLiteral("Inget svar från maskinen");
        Status(QStringLiteral("Inget svar från maskinen (timeout)."));
        Aborted = true;
    });
}

void Station::NetTimer_Timer() {
    Aborted = true;
    AbortExchange();
    Status(QStringLiteral("Nätverkstimeout. Funktionen avbruten."));
    HidePilar();
}

// Bounds a fetch's wait for the program with the machine's receive time-out.
void Station::TimeoutTimer_Timer() {
    AbortExchange();
    Status(QStringLiteral("Inget svar från maskinen (timeout)."));
    HidePilar();
}

void Station::Arm(QTimer& timer) {
    if (timer.interval() > 0) timer.start();
    else timer.stop();
}

QCoro::Task<bool> Station::AwaitExchange() {
    // Named first: gcc 12 destroys a lambda made inside a co_await twice.
    const auto ended = [this] { return !OpenExchange(); };
    co_await WaitFor(ended);
    co_return exchanges_.latest() && exchanges_.latest()->state == Exchange::State::Done;
}

QCoro::Task<bool> Station::WaitFor(std::function<bool()> done) {
    while (!done() && !Aborted) co_await Step{this};
    co_return done();
}

void Station::Wake() {
    if (waiting_.empty() || wakePosted_) return;
    wakePosted_ = true;
    // Resumed after the handler that woke them: a step never runs inside another.
    QMetaObject::invokeMethod(
        this,
        [this] {
            wakePosted_ = false;
            auto waiting = std::move(waiting_);
            waiting_.clear();
            for (std::coroutine_handle<> h : waiting) h.resume();
        },
        Qt::QueuedConnection);
}

QCoro::Task<void> Station::WaitMs(int ms) {
    bool expired = false;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, [&] {
        expired = true;
        Wake();
    });
    timer.start(ms);
    const auto over = [&] { return expired; };
    co_await WaitFor(over);
}

std::shared_ptr<JobRun> Station::Submit(JobKind kind, const QString& by, JobBody body, OperatorPanel* panel) {
    auto run = std::make_shared<JobRun>();
    run->record.machine = MachineName;
    run->record.kind = kind;
    run->record.by = by;
    run->panel = panel;
    run->body = [this, body = std::move(body)](JobRun& r) { return RunJob(r, body); };
    return Jobs.submit(run);
}

QCoro::Task<void> Station::RunJob(JobRun& run, JobBody body) {
    job_ = &run;
    switch_.setTarget(run.panel);
    lastStatus_.clear();
    Aborted = false;
    std::exception_ptr failure;
    try {
        co_await body(run);
    } catch (...) {
        failure = std::current_exception();
    }
    // Reported as any operation's error is; the job failed.
    if (failure) {
        Guarded([&] { std::rethrow_exception(failure); });
        run.fail(lastStatus_.isEmpty() ? QStringLiteral("Ett fel uppstod; se error.log.") : lastStatus_);
        Aborted = true;
    }
    if (run.record.text.isEmpty()) run.record.text = lastStatus_;
    switch_.setTarget(nullptr);
    job_ = nullptr;
}

QString Station::MachineBy(QTcpSocket* from) const {
    if (from) return QStringLiteral("maskin ") + from->peerAddress().toString();
    return QStringLiteral("maskin seriell");
}

void Station::MachineJob(bool in, const QString& name, const QString& file, qint64 bytes, const QByteArray& sha256,
                         bool ok, const QString& by) {
    Job j;
    j.id = NewJobId();
    j.machine = MachineName;
    j.kind = in ? JobKind::MachineStore : JobKind::MachineLoad;
    j.by = by;
    j.created = j.started = j.ended = QDateTime::currentDateTimeUtc();
    j.state = ok ? JobState::Done : JobState::Failed;
    j.text = ok ? (in ? QStringLiteral("Sparat.") : QStringLiteral("Skickat.")) : lastStatus_;
    j.programs.append({name, file, bytes, sha256, ok ? ProgramResult::Ok : ProgramResult::Failed, j.text});
    Jobs.record(j);
}

void Station::FailJob(const QString& why) {
    if (job_) job_->fail(why);
}

void Station::Row(const QString& name, const QString& file, qint64 bytes, const QByteArray& sha256,
                  ProgramResult result, const QString& text) {
    if (job_) job_->row(name, file, bytes, sha256, result, text);
}

QString NowStamp() {
    QString s = GeneralDateNow();
    for (const QChar c : {QLatin1Char(':'), QLatin1Char('-'), QLatin1Char('/'), QLatin1Char(' ')}) s.remove(c);
    return s;
}
