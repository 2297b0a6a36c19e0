// The serial link: receiving, modem lines, line errors and paced sending.
#include "common/errorreport.h"
#include "common/log.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/station.h"
#include <QCoreApplication>
#include <QScopedValueRollback>
#include <memory>

namespace {
constexpr int kPiece = 128;
constexpr qint64 kHighMark = 256;
constexpr qint64 kLowMark = 33;
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
// Nothing here waits: the port's events and a drain tick move it on, so
// that other links and machines are served meanwhile.
void Station::StartPaced(Outgoing& message, bool protocolOne, const QString& name, SendDone done) {
    // A cut message still open on the machine is closed first, so that this
    // one cannot become its end.
    if (!spoiledClosing_.isEmpty() && paced_.empty()) QueueClosing();
    Paced p;
    p.message = std::make_unique<Outgoing>(std::move(message));
    p.protocolOne = protocolOne;
    p.name = name;
    p.done = std::move(done);
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

void Station::PaceSerial() {
    // A box raised inside (a modem-line failure) runs events of its own.
    if (pacing_) return;
    const QScopedValueRollback<bool> guard(pacing_, true);
    while (!paced_.empty()) {
        Paced& p = paced_.front();
        // It belongs to the line it started on, before any abort since.
        if (p.generation != aborts_ || p.line != line_ || !Comm || !Comm->isOpen()) {
            EndPaced(false);
            continue;
        }
        if (p.draining) {
            const qint64 waiting = Comm->outBufferCount();
            if (waiting >= kLowMark) {
                // Looked at again halfway to when the line will have sent all
                // but the low mark: a late wake leaves it idle.
                const int baud = qMax(300, Machine.BaudRate.toInt());
                drainTick_.start(int(qBound<qint64>(1, (waiting - kLowMark + 1) * 10000 / baud / 2, qint64(1000))));
                return;
            }
            p.draining = false;
            SendTimer.stop();
            if (!p.protocolOne && !p.closing) Status(QStringLiteral("Sänder..."));
        }
        if (p.piece.isEmpty()) {
            try {
                p.piece = p.message->next(kPiece);
            } catch (const AppError& e) {
                // Stopped before the closing: the machine stores nothing.
                const QString why = SendFailureText(e);
                AddLog(why);
                EndExchange(Exchange::State::Failed);
                Aborted = true;
                HidePilar();
                Status(why);
                EndPaced(false, false);
                continue;
            }
            if (p.piece.isEmpty()) {
                EndPaced(true);
                continue;
            }
            // Panel 3 names CTS while the machine holds it low, as the modem-line event does.
            panel_.setPanel(3, CtsStatus() ? QString() : QStringLiteral("CTS"));
            if (!p.closing) Status(QStringLiteral("Väntar på CTS."));
            Arm(CtsTimer);
        }
        if (!CtsStatus()) {
            panel_.setPanel(2, QString());
            return;  // the CTS event moves it on
        }
        CtsTimer.stop();
        if (!p.closing) Status(p.protocolOne ? QStringLiteral("Sänder...") : QStringLiteral("Skickar..."));
        Comm->write(p.piece);
        for (qsizetype i = p.position == 0 && p.piece.startsWith('%') ? 1 : 0; i < p.piece.size(); ++i)
            p.writtenSum += static_cast<unsigned char>(p.piece.at(i));
        p.piece.clear();
        Arm(SendTimer);
        panel_.setPanel(2, QString::number(p.position + 1) + QStringLiteral(" tecken"));
        p.position += kPiece;
        if (Comm->outBufferCount() >= kHighMark) {
            p.draining = true;
            continue;
        }
        SendTimer.stop();
        if (!p.protocolOne && !p.closing) Status(QStringLiteral("Sänder..."));
    }
}

// The first message's end: its final status text, then whoever waits for it.
void Station::EndPaced(bool whole, bool tell) {
    Paced p = std::move(paced_.front());
    paced_.pop_front();
    CtsTimer.stop();
    SendTimer.stop();
    drainTick_.stop();
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
    auto stopped = std::make_shared<std::deque<Paced>>(std::move(paced_));
    paced_.clear();
    sending_ = false;
    drainTick_.stop();
    // Closed at once where the line allows it, else before the next message.
    if (MarkCut(stopped->front()) && !spoiledClosing_.isEmpty() && Comm && Comm->isOpen() && CtsStatus()) {
        QueueClosing();
        QMetaObject::invokeMethod(this, &Station::PaceSerial, Qt::QueuedConnection);
    }
    QMetaObject::invokeMethod(
        this,
        [this, stopped] {
            for (Paced& p : *stopped) {
                if (p.protocolOne && !p.closing)
                    Status(QStringLiteral("Sändning avbruten (") + SerialLink.AbortReason + QStringLiteral(")."));
                --pacedUnended_;
                Wake();
                if (p.done) p.done(false);
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
