// The serial link: receiving, modem lines, line errors and paced sending.
#include "common/errorreport.h"
#include "common/log.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/serialpacer.h"
#include "link/station.h"
#include <QCoreApplication>
#include <QScopedValueRollback>
#include <memory>

namespace {
constexpr char kDC2 = 18;
constexpr char kDC4 = 20;

QString LineErrorText(int event) {
    switch (event) {
    case SerialPort::EventCTSTO: return QStringLiteral("CTS Timeout");
    case SerialPort::EventDSRTO: return QStringLiteral("DSR Timeout");
    case SerialPort::EventFrame: return QStringLiteral("Framing error");
    case SerialPort::EventOverrun: return QStringLiteral("Event overrun");
    case SerialPort::EventCDTO: return QStringLiteral("CD Timeout");
    case SerialPort::EventRxOver: return QStringLiteral("RX overrun");
    case SerialPort::EventRxParity: return QStringLiteral("Parity error");
    case SerialPort::EventTxFull: return QStringLiteral("TX Buffer full");
    case SerialPort::EventDCB: return QStringLiteral("Unexpected error");
    default: return {};
    }
}
}  // namespace

bool Station::CtsStatus() {
    bool ok = false;
    Traced(QStringLiteral("CtsStatus()"), [&] {
        if (!Comm || !Comm->isOpen()) return;
        if (General.IgnoreCts) {
            ok = true;
            return;
        }
        bool cts = false, dsr = false;
        if (!Comm->modemStatus(&cts, &dsr)) {
            Tell(QStringLiteral("Stop in GetModemStatus"), AppTitle(), MsgIcon::None);
            return;
        }
        ok = cts;
    });
    return ok;
}

void Station::Comm_OnComm(int event) {
    Traced(QStringLiteral("Comm_OnComm()"), [&] {
        if (Machine.Typ == 3 && IsoEvent(event)) return;
        switch (event) {
        case SerialPort::EvReceive: {
            // The fetch's time-out measures the silence of its own link.
            if (TimeoutTimer.isActive() && OpenExchange() && !exchange_->socket) Arm(TimeoutTimer);
            TraceEnter(QStringLiteral("Comm_OnComm().2"));
            QByteArray data = Comm->readAll();
            if (LogTraffic) {
                AddHexLog(data, QStringLiteral("dump.log"), 2);
                AddHexLog(data, QStringLiteral("dump2.log"), 3);
            }
            data = StripNulls(data);
            PassOver(serialRx_.skip, data);
            if (!serialRx_.busy() && data == QByteArray(1, kDC4)) data.clear();
            if (data.isEmpty()) {
                // Passing over a refused message keeps measuring its silence.
                SerialSilence(true);
                return;
            }
            // Messages that arrived back to back are taken one at a time.
            while (!data.isEmpty()) {
                const qsizetype end = MessageEnd(serialRx_, data);
                SerialReceive(data.left(end));
                data.remove(0, end);
                PassOver(serialRx_.skip, data);
                if (!serialRx_.busy() && data == QByteArray(1, kDC4)) data.clear();
            }
            return;
        }
        case SerialPort::EvSend:
            // A drained buffer after the last piece must not cover the final text.
            if (sending_ && !paced_.empty() && !paced_.front().closing) Status(QStringLiteral("Sänder...."));
            PaceSerial();
            return;
        case SerialPort::EvCTS: {
            bool cts = false, dsr = false;
            Comm->modemStatus(&cts, &dsr);
            panel_.setPanel(3, cts ? QString() : QStringLiteral("CTS"));
            PaceSerial();
            return;
        }
        case SerialPort::EvDSR: {
            bool cts = false, dsr = false;
            Comm->modemStatus(&cts, &dsr);
            panel_.setPanel(4, dsr ? QString() : QStringLiteral("DSR"));
            return;
        }
        case SerialPort::EvCD:
            return;
        case SerialPort::EventBreak:
            if (!General.HideBreak) Tell(QStringLiteral("Break"), AppTitle(), MsgIcon::None);
            return;
        default:
            break;
        }
        const QString text = LineErrorText(event);
        if (text.isEmpty()) {
            AddLog(QStringLiteral("Okänt fel."));
            return;
        }
        // The damaged message goes before another byte is read: nothing of it
        // is stored or answered. The box waits for nobody.
        cmdAbort_Click();
        if (!General.SuppressErrors) Tell(text, AppTitle(), MsgIcon::None);
    });
}

// Where the message under way ends in data: at its next "%" once it has
// started; bytes before a first "%" stay together.
qsizetype Station::MessageEnd(const Reception& r, const QByteArray& data) {
    qsizetype from = -1;
    if (r.program || r.in.startsWith('%')) from = 0;
    else if (r.in.isEmpty() && data.startsWith('%')) from = 1;
    else if (r.in.isEmpty() && data.startsWith(QByteArrayView("\x12%"))) from = 2;
    const qsizetype end = from < 0 ? -1 : data.indexOf('%', from);
    return end < 0 ? data.size() : end + 1;
}

void Station::SerialReceive(const QByteArray& data) {
    QByteArray& in = SerialLink.InBuffer;
    Status(QStringLiteral("Tar emot från maskin..."));
    if (!serialRx_.busy()) ShowPilar(QStringLiteral("Tar emot data från maskin..."), RecArrows());
    TraceEnter(QStringLiteral("Comm_OnComm().9"));
    RxCount += data.size();
    panel_.setPanel(2, QString::number(RxCount) + QStringLiteral(" tecken"));
    const int protocol = Machine.Typ == 2 ? 1 : 2;
    if (!Accumulate(serialRx_, data, protocol, true, nullptr)) {
        SerialSilence(true);
        return;
    }
    TraceEnter(QStringLiteral("Comm_OnComm().5"));
    if (LogTraffic) AddHexLog(in, QStringLiteral("commands.log"), 3);
    RecTimer.stop();
    HidePilar();
    const qint64 size = serialRx_.program ? serialRx_.program->size() : in.size();
    Status(QStringLiteral("Mottagning klar (") + QString::number(size) + QStringLiteral(" tecken )."));
    RxCount = 0;
    if (Machine.Typ == 1 || Machine.Typ == 2) HandOver(serialRx_, SerialLink, protocol, nullptr);
    else serialRx_.clear();
    // An exchange still waiting for its answer keeps its time-out.
    SerialSilence(false);
    if (!std::exchange(parseDeferred_, false)) Q_EMIT messageParsed();
}

// Unless the port is open: the message (unless quiet), the status text and
// the abort routine.
bool Station::PortReady(bool quiet) {
    if (Comm && Comm->isOpen()) return true;
    // Also reached from the receive path: the box waits for nobody.
    if (!quiet)
        Tell(QStringLiteral("Com-porten är inte öppen.\r\nKontrollera inställningarna."), AppTitle(), MsgIcon::Critical);
    // The abort routine empties the status line: the reason is shown after it.
    AbortExchange();
    Status(QStringLiteral("Fel: Porten inte öppen."));
    return false;
}

// Writes message in pieces of 128 characters, each after the machine raised
// CTS, letting the port drain below 33 characters whenever 256 are waiting.
// The pacer does that on the serial thread; this side reads the message
// ahead of it, shows how it goes and ends it. Nothing here waits, so that
// other links and machines are served meanwhile.
void Station::StartPaced(Outgoing& message, bool protocolOne, const QString& name, SendDone done) {
    // A cut message still open on the machine is closed first, so that this
    // one cannot become its end.
    if (!spoiledClosing_.isEmpty() && paced_.empty()) QueueClosing();
    Paced p;
    p.message = std::make_unique<Outgoing>(std::move(message));
    p.protocolOne = protocolOne;
    p.name = name;
    p.done = std::move(done);
    p.id = ++nextPaced_;
    p.generation = aborts_;
    p.line = line_;
    paced_.push_back(std::move(p));
    ++pacedUnended_;
    sending_ = true;
    PaceSerial();
}

void Station::QueueClosing() {
    Paced c;
    c.message = std::make_unique<Outgoing>(spoiledClosing_, Outgoing::Close::Nothing);
    c.closing = true;
    c.id = ++nextPaced_;
    c.generation = aborts_;
    c.line = line_;
    paced_.push_back(std::move(c));
    ++pacedUnended_;
    sending_ = true;
}

// A message that stopped after part of it went out. Protocol 2: the machine
// would take the two characters before the next "%" for its checksum and,
// now and then, store the cut program; it gets its closing now, with a
// checksum that cannot match, and refuses it. Protocol 1 has no checksum:
// the next "%" on the line would complete the cut program on the machine,
// so the operator must clear it there before the next request.
bool Station::MarkCut(const Paced& p) {
    if (p.closing || p.position == 0) return false;
    if (p.protocolOne) {
        cutProgram_ = p.name;
        cutMachine_ = MachineName;
        AddLog(QStringLiteral("Sändningen av %1 avbröts mitt i programmet; maskinen kan ha en ofullständig del av det.")
                   .arg(p.name));
        return true;
    }
    const QByteArray end = EobLineEnd(Machine.EOB);
    quint32 sum = p.writtenSum;
    for (const char c : end) sum += static_cast<unsigned char>(c);
    spoiledClosing_ = end + ChecksumDigits(sum + 1) + '%';
    AddLog(QStringLiteral("Sändningen av %1 avbröts; meddelandet stängs med fel kontrollsumma så att maskinen inte sparar det.")
               .arg(p.name));
    return true;
}

// Stops the pacer on a message it was writing and takes what went out.
void Station::TakeWritten(Paced& p) {
    if (!p.started || !pacer_) return;
    const SerialPacer::Written w = pacer_->stop();
    p.started = false;
    p.whole = w.ended;
    p.position = w.count;
    p.writtenSum = w.sum;
    // The checksum leaves out a leading "%".
    if (w.count > 0 && p.leadingPercent) p.writtenSum -= '%';
}

// Keeps the pacer fed with the first message, reading its file ahead of the line.
void Station::PaceSerial() {
    // A box raised inside (a modem-line failure) runs events of its own.
    if (pacing_) return;
    const QScopedValueRollback<bool> guard(pacing_, true);
    while (!paced_.empty()) {
        Paced& p = paced_.front();
        // It belongs to the line it started on, before any abort since.
        if (p.generation != aborts_ || p.line != line_ || !pacer_ || !Comm->isOpen()) {
            EndPaced(false);
            continue;
        }
        if (!p.started) {
            // The time-outs as the station's timers are set now.
            pacer_->start({p.id, CtsTimer.interval(), SendTimer.interval(), General.IgnoreCts});
            p.started = true;
            if (!p.closing) Status(QStringLiteral("Väntar på CTS."));
        }
        bool failed = false;
        for (qint64 want = pacer_->wanted(); !p.fedAll && want > 0; want = pacer_->wanted()) {
            QByteArray bytes;
            try {
                bytes = p.message->next(std::min<qint64>(want, 16 * 1024));
            } catch (const AppError& e) {
                // Stopped before the closing: the machine stores nothing.
                const QString why = SendFailureText(e);
                AddLog(why);
                EndExchange(Exchange::State::Failed);
                Aborted = true;
                HidePilar();
                Status(why);
                EndPaced(false, false);
                failed = true;
                break;
            }
            if (p.fed == 0) p.leadingPercent = bytes.startsWith('%');
            p.fed += bytes.size();
            p.fedAll = bytes.isEmpty();
            pacer_->feed(p.id, bytes, p.fedAll);
        }
        if (!failed) return;
    }
}

// Where the line's send stands: the status line and panels, as the pieces go.
void Station::ShowPacing() {
    if (!pacer_) return;
    if (isoPaced_) {
        Q_EMIT isoWake();  // the tape send takes the pacer's news itself
        return;
    }
    const SerialPacer::Snapshot s = pacer_->take();
    if (paced_.empty() || paced_.front().id != s.id || !paced_.front().started) return;
    Paced& p = paced_.front();
    if (s.linesUnreadable && !p.toldLines) {
        p.toldLines = true;
        Tell(QStringLiteral("Stop in GetModemStatus"), AppTitle(), MsgIcon::None);
    }
    // Panel 3 names CTS while the machine holds it low, as the modem-line event does.
    panel_.setPanel(3, s.cts ? QString() : QStringLiteral("CTS"));
    if (s.stage == SerialPacer::Stage::WaitingCts) {
        if (!s.cts) panel_.setPanel(2, QString());
        if (!p.closing) Status(QStringLiteral("Väntar på CTS."));
    } else if (s.lastPiece >= 0) {
        panel_.setPanel(2, QString::number(s.lastPiece + 1) + QStringLiteral(" tecken"));
    }
    if (!p.closing) {
        if (s.stage == SerialPacer::Stage::Draining)
            Status(p.protocolOne ? QStringLiteral("Sänder...") : QStringLiteral("Skickar..."));
        else if (s.stage == SerialPacer::Stage::Flowing)
            Status(QStringLiteral("Sänder..."));
    }
    PaceSerial();
}

void Station::PacerEnded(quint64 id) {
    if (id == isoPaced_) {
        Q_EMIT isoWake();
        return;
    }
    if (paced_.empty() || paced_.front().id != id || !paced_.front().started) return;
    paced_.front().started = false;
    EndPaced(true);
    PaceSerial();
}

// The pacer's time-outs are the station's CtsTimer and SendTimer expiring.
void Station::PacerTimedOut(quint64 id, bool cts) {
    if (paced_.empty() || paced_.front().id != id || !paced_.front().started) return;
    if (cts) CtsTimer_Timer();
    else SendTimer_Timer();
}

// The first message's end: its final status text, then whoever waits for it.
void Station::EndPaced(bool whole, bool tell) {
    TakeWritten(paced_.front());
    whole = whole || paced_.front().whole;
    Paced p = std::move(paced_.front());
    paced_.pop_front();
    CtsTimer.stop();
    SendTimer.stop();
    if (paced_.empty()) sending_ = false;
    if (p.closing) {
        if (whole) spoiledClosing_.clear();
        tell = false;
    }
    if (!whole) MarkCut(p);
    if (tell) {
        if (whole) Status(QStringLiteral("Sändning klar (") + p.name + QStringLiteral(")."));
        else Status(QStringLiteral("Sändning avbruten (") + (p.protocolOne ? SerialLink.AbortReason : p.name) +
                    QStringLiteral(")."));
    }
    --pacedUnended_;
    Wake();
    if (p.done) p.done(whole);
    // What arrived complete meanwhile is parsed once the line is free.
    if (!sending_ && !deferred_.empty())
        QMetaObject::invokeMethod(this, &Station::RunDeferred, Qt::QueuedConnection);
}

// The abort routine: nothing more goes out. Whoever waits learns of it
// after the routine's caller has left its own text (a time-out's reason).
void Station::StopPaced() {
    if (paced_.empty()) return;
    TakeWritten(paced_.front());
    auto stopped = std::make_shared<std::deque<Paced>>(std::move(paced_));
    paced_.clear();
    sending_ = false;
    // Closed at once where the line allows it, else before the next message.
    // One that had all gone out, its end not yet heard of here, was not cut
    // (a closing that went out has closed the cut one).
    if (stopped->front().closing && stopped->front().whole) spoiledClosing_.clear();
    if (!stopped->front().whole && MarkCut(stopped->front()) && !spoiledClosing_.isEmpty() && Comm && Comm->isOpen() && CtsStatus()) {
        QueueClosing();
        QMetaObject::invokeMethod(this, &Station::PaceSerial, Qt::QueuedConnection);
    }
    QMetaObject::invokeMethod(
        this,
        [this, stopped] {
            for (Paced& p : *stopped) {
                if (p.protocolOne && !p.closing)
                    Status(p.whole ? QStringLiteral("Sändning klar (") + p.name + QStringLiteral(").")
                                   : QStringLiteral("Sändning avbruten (") + SerialLink.AbortReason + QStringLiteral(")."));
                --pacedUnended_;
                Wake();
                if (p.done) p.done(p.whole);
            }
        },
        Qt::QueuedConnection);
}

QCoro::Task<bool> Station::AwaitLine() {
    // Not cut short by an abort: the line's end is told once it stopped.
    while (pacedUnended_ > 0) co_await Step{this};
    co_return !Aborted;
}

void Station::SendData(QByteArray& message, LinkState& link, QTcpSocket* socket, bool quiet) {
    Outgoing out(message, Outgoing::Close::Checksum, Machine.EOB);
    SendData(out, link, socket, quiet);
}

void Station::SendData(Outgoing& message, LinkState& link, QTcpSocket* socket, bool quiet, SendDone done) {
    Traced(QStringLiteral("SendData()"), [&] {
        Q_EMIT trafficRow(false, message.head(), message.size(), {}, {}, link.Kind == 0 ? socket : nullptr);
        if (link.Kind == 0) {
            // The socket takes the message over and reads on as it drains.
            WriteToSocket(socket, std::make_unique<Outgoing>(std::move(message)));
            if (done) done(true);
            return;
        }
        if (!PortReady(quiet)) {
            if (done) done(false);
            return;
        }
        StartPaced(message, false, link.FileName, std::move(done));
    });
}

void Station::SendDatap1(QByteArray& message, LinkState& link, bool percentOnly, bool quiet) {
    Outgoing out(message, percentOnly ? Outgoing::Close::Percent : Outgoing::Close::LfPercent);
    SendDatap1(out, link, quiet);
}

void Station::SendDatap1(Outgoing& message, LinkState& link, bool quiet, SendDone done) {
    Traced(QStringLiteral("SendDatap1()"), [&] {
        Q_EMIT trafficRow(false, message.head(), message.size(), {}, {}, nullptr);
        if (!PortReady(quiet)) {
            if (done) done(false);
            return;
        }
        StartPaced(message, true, link.FileName, std::move(done));
    });
}

void Station::SerialSilence(bool restart) {
    const bool receiving = serialRx_.busy() || serialRx_.skip == Reception::Pass::ToPercent;
    const bool awaited = OpenExchange() && !exchange_->socket && exchange_->silence;
    if (!receiving && !awaited) RecTimer.stop();
    else if (restart || !RecTimer.isActive()) Arm(RecTimer);
}
