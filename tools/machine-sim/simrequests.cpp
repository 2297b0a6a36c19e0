#include "machine-sim/simmachine.h"

#include "common/ansi.h"
#include "link/frames.h"
#include "machine-sim/simincoming.h"
#include "machine-sim/simlink.h"
#include "machine-sim/simoutgoing.h"

#include <QEventLoop>

using namespace sim;

namespace {

QByteArray CommandWord(SimMachine::Command c) {
    switch (c) {
    case SimMachine::Command::Load: return "LOD";
    case SimMachine::Command::Save: return "SAV";
    case SimMachine::Command::Delete: return "DEL";
    case SimMachine::Command::DirAll:
    case SimMachine::Command::DirSel: return "DRQ";
    }
    return {};
}

bool NeedsName(SimMachine::Command c) {
    return c != SimMachine::Command::DirAll;
}

}  // namespace

// --- The PC's requests ------------------------------------------------------

void SimMachine::handle2(Channel* channel, const Incoming& in) {
    const QByteArray& message = in.message;
    const Frame2 f = ReadFrame2(message);
    const bool checksumOk = in.program ? in.program->checksumOk() : PcChecksumOk(message);
    if (f.type == 'R') {
        if (!pending_ || !pending_->sent) {
            Q_EMIT logLine(QStringLiteral("-- answer without a request, ignored"));
            return;
        }
        const Job job = pending_->job;
        bool ok = checksumOk && f.status == "00" && f.command == CommandWord(job.command);
        if (ok && job.command == Command::Load)
            ok = keep(FromAnsi(job.name), in, in.program ? QByteArray() : StripFrame(message));
        finish(ok, message);
        return;
    }
    if (consume(silent_)) {
        Q_EMIT logLine(QStringLiteral("-- silent: no answer"));
        return;
    }
    if (!checksumOk) {
        reply2(channel, BuildFrame("R", f.command, f.selector, f.name, "04"));
        return;
    }
    if (f.type != 'C') {
        Q_EMIT logLine(QStringLiteral("-- not a request, ignored"));
        return;
    }
    serve2(channel, f, in);
}

void SimMachine::serve2(Channel* channel, const Frame2& f, const Incoming& in) {
    const QString name = FromAnsi(f.name);
    if (consume(errorScope_)) {
        const QByteArray status = errorStatus_;
        if (errorScope_ == Scope::Off) errorStatus_.clear();
        reply2(channel, BuildFrame("R", f.command, f.selector, f.name, status));
        return;
    }
    const QByteArray le = LineEndBytes(lineEnd_);
    if (f.command == "LOD") {
        if (!hasProgram(name)) {
            reply2(channel, BuildFrame("R", "LOD", "", f.name, "08"));
            return;
        }
        sendMessage(channel, programMessage(BuildFrame("R", "LOD", "", f.name, "00") + le, name));
    } else if (f.command == "SAV") {
        const bool stored = keep(name, in, in.program ? QByteArray() : StripFrame(in.message));
        reply2(channel, BuildFrame("R", "SAV", "", f.name, stored ? "00" : "07"));
    } else if (f.command == "DEL") {
        const QByteArray status = !hasProgram(name) ? "08" : removeProgram(name) ? "00" : "07";
        reply2(channel, BuildFrame("R", "DEL", "", f.name, status));
    } else if (f.command == "DRQ" && f.selector == "ALL") {
        reply2(channel, BuildFrame("R", "DRQ", "ALL", "", "00") + le + listOf(QStringLiteral("*"), false));
    } else if (f.command == "DRQ" && f.selector == "SEL") {
        const QByteArray list = f.name.isEmpty() ? QByteArray() : listOf(name, false);
        if (list.isEmpty()) reply2(channel, BuildFrame("R", "DRQ", "SEL", f.name, "08"));
        else reply2(channel, BuildFrame("R", "DRQ", "SEL", f.name, "00") + le + list);
    } else {
        Q_EMIT logLine(QStringLiteral("-- unknown request, ignored"));
    }
}

void SimMachine::handle1(Channel* channel, const Incoming& in) {
    const Message1 m = ReadMessage1(in.message);
    if (pending_ && pending_->sent && answer1(m, in)) return;
    if (consume(silent_)) {
        Q_EMIT logLine(QStringLiteral("-- silent: no answer"));
        return;
    }
    serve1(channel, m, in);
}

bool SimMachine::answer1(const Message1& m, const Incoming& in) {
    const QByteArray& message = in.message;
    const Job job = pending_->job;
    switch (job.command) {
    case Command::Load:
        if (m.kind != Message1::Store) return false;
        finish(keep(FromAnsi(job.name), in, m.body), message);
        return true;
    case Command::DirAll:
        // An empty short-form list is as short as a request.
        if (m.kind != Message1::DirList && !(m.kind == Message1::DirRequest && !m.colon)) return false;
        finish(true, message);
        return true;
    case Command::Delete:
        if (m.kind != Message1::Ack) return false;
        finish(true, message);
        return true;
    default:
        return false;
    }
}

void SimMachine::serve1(Channel* channel, const Message1& m, const Incoming& in) {
    const QString name = FromAnsi(m.name);
    switch (m.kind) {
    case Message1::Load:
        if (hasProgram(name)) sendMessage(channel, programMessage(Program1(m.name, {}, m.colon).chopped(1), name));
        else Q_EMIT logLine(QStringLiteral("-- no program %1, no answer").arg(name));
        break;
    case Message1::Store:
        if (!keep(name, in, m.body)) Q_EMIT logLine(QStringLiteral("-- could not store %1").arg(name));
        break;
    case Message1::Erase:
        if (removeProgram(name)) {
            if (!m.colon) sendMessage(channel, Ack1(m.name));
        } else {
            Q_EMIT logLine(QStringLiteral("-- no program %1, no answer").arg(name));
        }
        break;
    case Message1::DirRequest:
        sendMessage(channel, List1(listOf(QStringLiteral("*"), true), m.colon));
        break;
    default:
        Q_EMIT logLine(QStringLiteral("-- nothing to do, ignored"));
        break;
    }
}

// --- The machine's own requests -----------------------------------------------

void SimMachine::request(Command command, const QByteArray& name) {
    jobs_.append({command, name});
    if (!pending_) QTimer::singleShot(0, this, &SimMachine::startNext);
}

bool SimMachine::request(const QString& text, QString* error) {
    const QStringList words = text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString verb = words.value(0).toUpper();
    std::optional<Command> command;
    QString name = words.value(1);
    if (verb == QLatin1String("LOD") || verb == QLatin1String("L")) command = Command::Load;
    else if (verb == QLatin1String("SAV") || verb == QLatin1String("S")) command = Command::Save;
    else if (verb == QLatin1String("DEL") || verb == QLatin1String("E")) command = Command::Delete;
    else if (verb == QLatin1String("D") && words.size() == 1) command = Command::DirAll;
    else if (verb == QLatin1String("DRQ") && name.toUpper() == QLatin1String("ALL") && words.size() == 2)
        command = Command::DirAll;
    else if (verb == QLatin1String("DRQ") && name.toUpper() == QLatin1String("SEL")) {
        command = Command::DirSel;
        name = words.value(2);
    }
    const int expected = !command ? 0 : *command == Command::DirAll ? words.size() : *command == Command::DirSel ? 3 : 2;
    if (!command || words.size() != expected || (NeedsName(*command) && name.isEmpty())) {
        if (error) *error = QStringLiteral("unknown request: %1").arg(text);
        return false;
    }
    request(*command, *command == Command::DirAll ? QByteArray() : ToAnsi(name));
    return true;
}

bool SimMachine::waitForRequests(int timeoutMs) {
    if (!busy()) return true;
    QEventLoop loop;
    connect(this, &SimMachine::requestsDone, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return !busy();
}

std::unique_ptr<OutgoingMessage> SimMachine::buildRequest(const Job& job) const {
    const bool colon = protocol_ == Protocol::OneColon;
    const QString name = FromAnsi(job.name);
    QByteArray message;
    if (protocol_ != Protocol::Two) {
        switch (job.command) {
        case Command::Load: message = Request1(Message1::Load, job.name, colon); break;
        case Command::Save: return programMessage(Program1(job.name, {}, colon).chopped(1), name);
        case Command::DirAll: message = Request1(Message1::DirRequest, {}, colon); break;
        case Command::Delete: message = Request1(Message1::Erase, job.name, colon); break;
        case Command::DirSel: break;
        }
        return std::make_unique<OutgoingMessage>(message);
    }
    QByteArray text;
    switch (job.command) {
    case Command::DirAll: text = BuildFrame("C", "DRQ", "ALL", "", "00"); break;
    case Command::DirSel: text = BuildFrame("C", "DRQ", "SEL", job.name, "00"); break;
    case Command::Save:
        return programMessage(BuildFrame("C", "SAV", "", job.name, "00") + LineEndBytes(lineEnd_), name);
    default: text = BuildFrame("C", CommandWord(job.command), "", job.name, "00"); break;
    }
    return std::make_unique<OutgoingMessage>(CloseMachineMessage(text, lineEnd_));
}

void SimMachine::startNext() {
    if (pending_ || jobs_.isEmpty()) return;
    const Job job = jobs_.takeFirst();
    pending_ = Pending{job, nullptr};
    const QString name = FromAnsi(job.name);
    QString problem;
    if (NeedsName(job.command) && !IsSafeProgramName(job.name)) problem = QStringLiteral("bad program name");
    else if (job.command == Command::Save && !hasProgram(name)) problem = QStringLiteral("no program %1").arg(name);
    else if (job.command == Command::DirSel && protocol_ != Protocol::Two)
        problem = QStringLiteral("protocol 1 has no selected list");
    else if (job.command == Command::Delete && protocol_ == Protocol::OneColon)
        problem = QStringLiteral("the colon form has no erase");
    Channel* channel = problem.isEmpty() ? (serial_ ? serial_.data() : clientChannel()) : nullptr;
    if (problem.isEmpty() && !channel) problem = QStringLiteral("no link to the PC");
    if (problem.isEmpty() && channel->isSerial() && !channel->isOpen()) problem = QStringLiteral("serial port closed");
    if (!problem.isEmpty()) {
        Q_EMIT logLine(QStringLiteral("-- request not sent: %1").arg(problem));
        finish(false, {});
        return;
    }
    pending_->channel = channel;
    // Also bounds the wait for the connection.
    armReplyTimer();
    if (channel->isOpen()) sendPending();
}

void SimMachine::sendPending() {
    Channel* channel = pending_->channel;
    pending_->sent = true;
    pending_->finishWhenSent = protocol_ != Protocol::Two && pending_->job.command == Command::Save;
    const bool whole = sendMessage(channel, buildRequest(pending_->job));
    if (pending_ && pending_->channel == channel) pending_->cut = !whole;
    if (pending_ && channel->idle() && !pending_->finishWhenSent) armReplyTimer();
}

void SimMachine::armReplyTimer() {
    sentWhenArmed_ = pending_ && pending_->channel ? pending_->channel->sentBytes() : -1;
    replyTimer_.start(replyTimeoutMs_);
}

void SimMachine::onDrained(Channel* channel) {
    if (!pending_ || !pending_->sent || pending_->channel != channel) return;
    if (pending_->finishWhenSent) {
        // The PC does not answer a program it is given in protocol 1.
        QTimer::singleShot(0, this, [this, channel] {
            if (pending_ && pending_->channel == channel && pending_->finishWhenSent) finish(!pending_->cut, {});
        });
        return;
    }
    armReplyTimer();
}

void SimMachine::finish(bool ok, const QByteArray& reply) {
    replyTimer_.stop();
    pending_.reset();
    lastReply_ = reply;
    lastOk_ = ok;
    if (!ok) ++failed_;
    if (!reply.isEmpty()) Q_EMIT replyReceived(reply);
    Q_EMIT requestFinished(ok, reply);
    if (!busy()) Q_EMIT requestsDone();
    else if (!pending_) QTimer::singleShot(0, this, &SimMachine::startNext);
}
