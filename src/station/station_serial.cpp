// The serial link: its events, modem lines and line errors; what it reads goes
// to the receiver, its sends to the paced sender.
#include "common/errorreport.h"
#include "common/log.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/serialpacer.h"
#include "station/serialsender.h"
#include "station/station.h"
#include <QCoreApplication>
#include <memory>

namespace {
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
            if (TimeoutTimer.isActive() && OpenExchange() && !OpenExchange()->socket) Arm(TimeoutTimer);
            TraceEnter(QStringLiteral("Comm_OnComm().2"));
            QByteArray data = Comm->readAll();
            if (LogTraffic) {
                AddHexLog(data, QStringLiteral("dump.log"), 2);
                AddHexLog(data, QStringLiteral("dump2.log"), 3);
            }
            rx_.fromLine(std::move(data));
            return;
        }
        case SerialPort::EvSend:
            // A drained buffer after the last piece must not cover the final text.
            if (sender_.writingMessage()) Status(QStringLiteral("Sänder...."));
            sender_.pace();
            return;
        case SerialPort::EvCTS: {
            bool cts = false, dsr = false;
            Comm->modemStatus(&cts, &dsr);
            panel_.setPanel(3, cts ? QString() : QStringLiteral("CTS"));
            sender_.pace();
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

// The pacer's news goes to whichever send it is writing: the tape engine's or the sender's.
void Station::ShowPacing() {
    if (!pacer_) return;
    if (isoPaced_) {
        Q_EMIT isoWake();  // the tape send takes the pacer's news itself
        return;
    }
    sender_.progressed();
}

void Station::PacerEnded(quint64 id) {
    if (id == isoPaced_) {
        Q_EMIT isoWake();
        return;
    }
    sender_.ended(id);
}

void Station::PacerTimedOut(quint64 id, bool cts) { sender_.timedOut(id, cts); }

QCoro::Task<bool> Station::AwaitLine() {
    // Not cut short by an abort: the line's end is told once it stopped.
    while (sender_.unended() > 0) co_await Step{this};
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
            conns_.write(socket, std::make_unique<Outgoing>(std::move(message)));
            if (done) done(true);
            return;
        }
        if (!PortReady(quiet)) {
            if (done) done(false);
            return;
        }
        sender_.start(message, false, link.FileName, std::move(done), jobSends_);
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
        sender_.start(message, true, link.FileName, std::move(done), jobSends_);
    });
}
