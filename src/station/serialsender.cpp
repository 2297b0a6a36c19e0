// Writes each message in pieces of 128 characters, each after the machine
// raised CTS, letting the port drain below 33 characters whenever 256 are
// waiting. The pacer does that on the serial thread; this side reads the
// message ahead of it, shows how it goes and ends it. Nothing here waits, so
// that other links and machines are served meanwhile.
#include "station/serialsender.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/serialpacer.h"
#include "station/station.h"
#include <QScopedValueRollback>

SerialSender::SerialSender(Station& station) : st_(station) {}

SerialSender::~SerialSender() = default;

SerialSender::Paced SerialSender::make(std::unique_ptr<Outgoing> message) {
    Paced p;
    p.message = std::move(message);
    p.id = ++st_.nextPaced_;
    p.generation = st_.aborts_;
    p.line = st_.line_;
    return p;
}

void SerialSender::start(Outgoing& message, bool protocolOne, const QString& name, SendDone done, bool job) {
    // A cut message still open on the machine is closed first, so that this
    // one cannot become its end.
    if (!spoiledClosing_.isEmpty() && paced_.empty()) queueClosing();
    Paced p = make(std::make_unique<Outgoing>(std::move(message)));
    p.protocolOne = protocolOne;
    p.name = name;
    p.done = std::move(done);
    p.job = job;
    paced_.push_back(std::move(p));
    ++unended_;
    sending_ = true;
    pace();
}

void SerialSender::queueClosing() {
    Paced c = make(std::make_unique<Outgoing>(spoiledClosing_, Outgoing::Close::Nothing));
    c.closing = true;
    paced_.push_back(std::move(c));
    ++unended_;
    sending_ = true;
}

// A message that stopped after part of it went out. Protocol 2: the machine
// would take the two characters before the next "%" for its checksum and,
// now and then, store the cut program; it gets its closing now, with a
// checksum that cannot match, and refuses it. Protocol 1 has no checksum:
// the next "%" on the line would complete the cut program on the machine,
// so the operator must clear it there before the next request.
bool SerialSender::markCut(const Paced& p) {
    if (p.closing || p.position == 0) return false;
    if (p.protocolOne) {
        cutProgram_ = p.name;
        cutMachine_ = st_.MachineName;
        st_.AddLog(QStringLiteral("Sändningen av %1 avbröts mitt i programmet; maskinen kan ha en ofullständig del av det.")
                       .arg(p.name));
        return true;
    }
    const QByteArray end = EobLineEnd(st_.Machine.EOB);
    quint32 sum = p.writtenSum;
    for (const char c : end) sum += static_cast<unsigned char>(c);
    spoiledClosing_ = end + ChecksumDigits(sum + 1) + '%';
    st_.AddLog(QStringLiteral("Sändningen av %1 avbröts; meddelandet stängs med fel kontrollsumma så att maskinen inte sparar det.")
                   .arg(p.name));
    return true;
}

// Stops the pacer on a message it was writing and takes what went out.
void SerialSender::takeWritten(Paced& p) {
    if (!p.started || !st_.pacer_) return;
    const SerialPacer::Written w = st_.pacer_->stop();
    p.started = false;
    p.whole = w.ended;
    p.position = w.count;
    p.writtenSum = w.sum;
    // The checksum leaves out a leading "%".
    if (w.count > 0 && p.leadingPercent) p.writtenSum -= '%';
}

// Reads the first message's file ahead of the line.
void SerialSender::pace() {
    // A box raised inside (a modem-line failure) runs events of its own.
    if (pacing_) return;
    const QScopedValueRollback<bool> guard(pacing_, true);
    SerialPacer* pacer = st_.pacer_;
    while (!paced_.empty()) {
        Paced& p = paced_.front();
        // It belongs to the line it started on, before any abort since.
        if (p.generation != st_.aborts_ || p.line != st_.line_ || !pacer || !st_.Comm->isOpen()) {
            end(false);
            continue;
        }
        if (!p.started) {
            // The time-outs as the station's timers are set now.
            pacer->start({p.id, st_.CtsTimer.interval(), st_.SendTimer.interval(), st_.General.IgnoreCts});
            p.started = true;
            if (!p.closing) st_.Status(QStringLiteral("Väntar på CTS."));
        }
        bool failed = false;
        for (qint64 want = pacer->wanted(); !p.fedAll && want > 0; want = pacer->wanted()) {
            QByteArray bytes;
            try {
                bytes = p.message->next(std::min<qint64>(want, 16 * 1024));
            } catch (const AppError& e) {
                // Stopped before the closing: the machine stores nothing.
                const QString why = SendFailureText(e);
                st_.AddLog(why);
                st_.exchanges_.end(Exchange::State::Failed);
                st_.Aborted = true;
                st_.HidePilar();
                st_.Status(why);
                end(false, false);
                failed = true;
                break;
            }
            if (p.fed == 0) p.leadingPercent = bytes.startsWith('%');
            p.fed += bytes.size();
            p.fedAll = bytes.isEmpty();
            pacer->feed(p.id, bytes, p.fedAll);
        }
        if (!failed) return;
    }
}

// Where the line's send stands: the status line and panels, as the pieces go.
void SerialSender::progressed() {
    const SerialPacer::Snapshot s = st_.pacer_->take();
    if (paced_.empty() || paced_.front().id != s.id || !paced_.front().started) return;
    Paced& p = paced_.front();
    if (s.linesUnreadable && !p.toldLines) {
        p.toldLines = true;
        st_.Tell(QStringLiteral("Stop in GetModemStatus"), AppTitle(), MsgIcon::None);
    }
    OperatorPanel& panel = st_.panel();
    // Panel 3 names CTS while the machine holds it low, as the modem-line event does.
    panel.setPanel(3, s.cts ? QString() : QStringLiteral("CTS"));
    if (s.stage == SerialPacer::Stage::WaitingCts) {
        if (!s.cts) panel.setPanel(2, QString());
        if (!p.closing) st_.Status(QStringLiteral("Väntar på CTS."));
    } else if (s.lastPiece >= 0) {
        panel.setPanel(2, QString::number(s.lastPiece + 1) + QStringLiteral(" tecken"));
    }
    if (!p.closing) {
        if (s.stage == SerialPacer::Stage::Draining)
            st_.Status(p.protocolOne ? QStringLiteral("Sänder...") : QStringLiteral("Skickar..."));
        else if (s.stage == SerialPacer::Stage::Flowing)
            st_.Status(QStringLiteral("Sänder..."));
    }
    pace();
}

void SerialSender::ended(quint64 id) {
    if (paced_.empty() || paced_.front().id != id || !paced_.front().started) return;
    paced_.front().started = false;
    end(true);
    pace();
}

// The pacer's time-outs are the station's CtsTimer and SendTimer expiring.
void SerialSender::timedOut(quint64 id, bool cts) {
    if (paced_.empty() || paced_.front().id != id || !paced_.front().started) return;
    // The message the line could not write goes, whoever's it is.
    paced_.front().job = true;
    if (cts) st_.CtsTimer_Timer();
    else st_.SendTimer_Timer();
}

// The first message's end: its final status text, then whoever waits for it.
void SerialSender::end(bool whole, bool tell) {
    takeWritten(paced_.front());
    whole = whole || paced_.front().whole;
    Paced p = std::move(paced_.front());
    paced_.pop_front();
    st_.CtsTimer.stop();
    st_.SendTimer.stop();
    if (paced_.empty()) sending_ = false;
    if (p.closing) {
        if (whole) spoiledClosing_.clear();
        tell = false;
    }
    if (!whole) markCut(p);
    if (tell) {
        if (whole) st_.Status(QStringLiteral("Sändning klar (") + p.name + QStringLiteral(")."));
        else st_.Status(QStringLiteral("Sändning avbruten (") + (p.protocolOne ? st_.SerialLink.AbortReason : p.name) +
                        QStringLiteral(")."));
    }
    --unended_;
    st_.Wake();
    if (p.done) p.done(whole);
    // What arrived complete meanwhile is parsed once the line is free.
    if (!sending_) st_.rx_.lineFree();
}

void SerialSender::stop(bool machinesToo) {
    if (paced_.empty()) return;
    // The machine's own replies go on after a job's abort or its exchange's
    // time-out: the transfer is the machine's. Only "Avbryt" stops them.
    const auto kept = [&](const Paced& p) { return !machinesToo && !p.job && !p.closing; };
    // A reply the line is writing goes on; a job's message is taken off the line.
    const bool writingReply = kept(paced_.front());
    if (!writingReply) takeWritten(paced_.front());
    auto stopped = std::make_shared<std::deque<Paced>>();
    std::deque<Paced> replies;
    for (Paced& p : paced_) (kept(p) ? replies : *stopped).push_back(std::move(p));
    paced_.clear();
    if (!writingReply) {
        // Closed at once where the line allows it, else before the next message.
        // One that had all gone out, its end not yet heard of here, was not cut
        // (a closing that went out has closed the cut one).
        if (stopped->front().closing && stopped->front().whole) spoiledClosing_.clear();
        if (!stopped->front().whole && markCut(stopped->front()) && !spoiledClosing_.isEmpty() && st_.Comm &&
            st_.Comm->isOpen() && st_.CtsStatus())
            queueClosing();
    }
    for (Paced& p : replies) {
        p.generation = st_.aborts_;  // outlives this abort
        paced_.push_back(std::move(p));
    }
    sending_ = !paced_.empty();
    if (sending_) QMetaObject::invokeMethod(&st_, [this] { pace(); }, Qt::QueuedConnection);
    if (!stopped->empty()) tellStopped(std::move(stopped));
}

void SerialSender::tellStopped(Stopped stopped) {
    QMetaObject::invokeMethod(
        &st_,
        [this, stopped] {
            for (Paced& p : *stopped) {
                if (p.protocolOne && !p.closing)
                    st_.Status(p.whole ? QStringLiteral("Sändning klar (") + p.name + QStringLiteral(").")
                                       : QStringLiteral("Sändning avbruten (") + st_.SerialLink.AbortReason +
                                             QStringLiteral(")."));
                --unended_;
                st_.Wake();
                if (p.done) p.done(p.whole);
            }
        },
        Qt::QueuedConnection);
}
