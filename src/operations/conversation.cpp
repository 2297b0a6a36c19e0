#include "operations/conversation.h"
#include "link/outgoing.h"
#include "station/station.h"
#include "station/tapeengine.h"
#include <QScopedValueRollback>
#include <QTcpSocket>

const MachineSettings& Conversation::machine() const { return st_->Machine; }
const GeneralSettings& Conversation::general() const { return st_->General; }
bool Conversation::portOpen() const { return st_->Comm && st_->Comm->isOpen(); }

OperatorPanel& Conversation::panel() const { return st_->panel_; }
void Conversation::status(const QString& text) const { st_->Status(text); }
const QString& Conversation::lastStatus() const { return st_->lastStatus_; }
void Conversation::clearStatus() const { st_->lastStatus_.clear(); }
void Conversation::pilar(const QString& text, const QStringList& pattern) const { st_->ShowPilar(text, pattern); }
void Conversation::hidePilar() const { st_->HidePilar(); }
void Conversation::log(const QString& text) const { st_->AddLog(text); }

QCoro::Task<OperatorPanel::Answer> Conversation::ask(QString text, QString title, MsgIcon icon,
                                                     OperatorPanel::Buttons buttons) const {
    return st_->Ask(std::move(text), std::move(title), icon, buttons);
}

JobRun* Conversation::job() const { return st_->job_; }
void Conversation::row(const QString& name, const QString& file, qint64 bytes, const QByteArray& sha256,
                       ProgramResult result, const QString& text) const {
    st_->Row(name, file, bytes, sha256, result, text);
}
void Conversation::fail(const QString& why) const { st_->FailJob(why); }
bool Conversation::closing() const { return st_->Jobs.closed(); }

QCoro::Task<bool> Conversation::start() const {
    Station* st = st_;
    if (co_await st->RefuseWhileBusy()) co_return false;
    st->Aborted = false;
    co_return true;
}

bool Conversation::aborted() const { return st_->Aborted; }
void Conversation::cancel() const { st_->Aborted = true; }
quint64 Conversation::aborts() const { return st_->aborts_; }
bool Conversation::transferDone() const { return st_->TransferDone; }
void Conversation::setTransferDone(bool done) const { st_->TransferDone = done; }

Exchange& Conversation::open(const QByteArray& command, const QString& name) const {
    return st_->exchanges_.open(command, name, st_->Machine.Typ == 0 ? st_->comsock : nullptr);
}
void Conversation::end(Exchange::State state) const { st_->exchanges_.end(state); }
const Exchange* Conversation::pending() const { return st_->OpenExchange(); }
const Exchange* Conversation::last() const { return st_->exchanges_.latest(); }
bool Conversation::answered() const { return last() && last()->state == Exchange::State::Done; }

void Conversation::arm(Bound bound) const {
    switch (bound) {
    case Bound::Armed: break;
    case Bound::Answer: Station::Arm(st_->SvarTimer); break;
    case Bound::Receive: Station::Arm(st_->TimeoutTimer); break;
    case Bound::Silence:
        // Restarted by every byte the line brings meanwhile.
        if (st_->OpenExchange()) st_->exchanges_.latest()->silence = true;
        st_->rx_.serialSilence(true);
        break;
    }
}

QCoro::Task<bool> Conversation::await(Bound bound) const {
    Station* st = st_;
    arm(bound);
    const bool answered = co_await st->AwaitExchange();
    // None of its time-outs outlives the wait to strike what comes next.
    st->SvarTimer.stop();
    st->TimeoutTimer.stop();
    co_return answered;
}

QCoro::Task<bool> Conversation::connect(bool fresh) const {
    Station* st = st_;
    if (fresh) st->comsock->abort();
    co_return co_await st->ConnectToSock(st->comsock);
}

void Conversation::naming(const QString& program) const { st_->MachineLink().FileName = program; }

void Conversation::clearInput() const { st_->rx_.clearInput(st_->Machine.Typ == 0 ? st_->comsock : nullptr); }

void Conversation::send(QByteArray message) const {
    Outgoing out(std::move(message), Outgoing::Close::Checksum, st_->Machine.EOB);
    send(out);
}

// The job's own sends: its abort stops them, never the machine's replies.
void Conversation::send(Outgoing& message) const {
    const QScopedValueRollback<bool> job(st_->jobSends_, true);
    if (st_->Machine.Typ == 0) st_->SendData(message, st_->NetLink, st_->comsock, false);
    else st_->SendData(message, st_->SerialLink, nullptr, false);
}

QCoro::Task<void> Conversation::sendP1(QByteArray message) const {
    Outgoing out(std::move(message), Outgoing::Close::LfPercent);
    co_await sendP1(out);
}

QCoro::Task<bool> Conversation::sendP1(Outgoing& message) const {
    Station* st = st_;
    auto whole = std::make_shared<bool>(false);
    Station::SendDone done = [whole](bool w) { *whole = w; };
    {
        const QScopedValueRollback<bool> job(st->jobSends_, true);
        st->SendDatap1(message, st->SerialLink, false, std::move(done));
    }
    co_await st->AwaitLine();
    co_return *whole;
}

QCoro::Task<bool> Conversation::awaitLine() const { return st_->AwaitLine(); }

QStringList Conversation::remoteNames() const { return st_->RemoteNames(); }
void Conversation::forget(const QString& name) const { st_->RemoveRemote(name); }
std::optional<bool> Conversation::listAnswer() const { return st_->ListAnswer; }
void Conversation::forgetListAnswer() const { st_->ListAnswer.reset(); }
QByteArray Conversation::storedSha() const { return st_->stored_.sha256; }
void Conversation::setTargetFolder(const QString& folder) const { st_->TargetFolder = folder; }
void Conversation::transferEnded(bool in, const QString& name, qint64 size, bool ok) const {
    Q_EMIT st_->transferEnded(in, name, size, ok);
}
TapeEngine& Conversation::tape() const { return *st_->tape_; }
