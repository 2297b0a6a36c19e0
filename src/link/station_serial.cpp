// The serial link: receiving, modem lines, line errors and paced sending.
#include "common/errorreport.h"
#include "common/log.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/station.h"
#include <QCoreApplication>
#include <QEventLoop>

namespace {
constexpr int kPiece = 128;
constexpr qint64 kHighMark = 256;
constexpr qint64 kLowMark = 33;
constexpr char kDC2 = 18;
constexpr char kDC4 = 20;

// Marks a paced send in progress, also when it is left early.
struct SendingScope {
    bool& flag;
    bool previous;
    explicit SendingScope(bool& f) : flag(f), previous(f) { flag = true; }
    ~SendingScope() { flag = previous; }
};

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
            panel_.message(QStringLiteral("Stop in GetModemStatus"), AppTitle(), MsgIcon::None,
                           OperatorPanel::Buttons::Ok);
            return;
        }
        ok = cts;
    });
    return ok;
}

void Station::Comm_OnComm(int event) {
    Traced(QStringLiteral("Comm_OnComm()"), [&] {
        switch (event) {
        case SerialPort::EvReceive: {
            RecTimer.start();
            TraceEnter(QStringLiteral("Comm_OnComm().2"));
            QByteArray data = Comm->readAll();
            if (LogTraffic) {
                AddHexLog(data, QStringLiteral("dump.log"), 2);
                AddHexLog(data, QStringLiteral("dump2.log"), 3);
            }
            data = StripNulls(data);
            if (data.isEmpty()) return;
            Status(QStringLiteral("Tar emot från maskin..."));
            if (SerialLink.InBuffer.isEmpty())
                ShowPilar(QStringLiteral("Tar emot data från maskin..."), RecArrows());
            TraceEnter(QStringLiteral("Comm_OnComm().9"));
            SerialLink.InBuffer += data;
            TraceEnter(QStringLiteral("Comm_OnComm().3"));
            RxCount += data.size();
            panel_.setPanel(2, QString::number(RxCount) + QStringLiteral(" tecken"));
            if (InBufferTooLarge(SerialLink)) return;
            TraceEnter(QStringLiteral("Comm_OnComm().4"));
            QByteArray& in = SerialLink.InBuffer;
            if (in.startsWith(kDC2)) in.remove(0, 1);
            if (in.endsWith(kDC4)) in.chop(1);
            if (!(in.size() >= 2 && in.startsWith('%') && in.endsWith('%'))) return;
            TraceEnter(QStringLiteral("Comm_OnComm().5"));
            if (LogTraffic) AddHexLog(in, QStringLiteral("commands.log"), 3);
            RecTimer.stop();
            HidePilar();
            Status(QStringLiteral("Mottagning klar (") + QString::number(in.size()) + QStringLiteral(" tecken )."));
            RxCount = 0;
            if (Machine.Typ == 1) Parse(in, SerialLink);
            else if (Machine.Typ == 2) ParseP1(in, SerialLink);
            SerialLink.InBuffer.clear();
            Q_EMIT messageParsed();
            return;
        }
        case SerialPort::EvSend:
            // A drained buffer after the last piece must not cover the final text.
            if (sending_) Status(QStringLiteral("Sänder...."));
            return;
        case SerialPort::EvCTS: {
            bool cts = false, dsr = false;
            Comm->modemStatus(&cts, &dsr);
            panel_.setPanel(3, cts ? QString() : QStringLiteral("CTS"));
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
            if (!General.HideBreak)
                panel_.message(QStringLiteral("Break"), AppTitle(), MsgIcon::None, OperatorPanel::Buttons::Ok);
            return;
        default:
            break;
        }
        const QString text = LineErrorText(event);
        if (text.isEmpty()) {
            AddLog(QStringLiteral("Okänt fel."));
            return;
        }
        if (!General.SuppressErrors)
            panel_.message(text, AppTitle(), MsgIcon::None, OperatorPanel::Buttons::Ok);
        cmdAbort_Click();
    });
}

bool Station::InBufferTooLarge(LinkState& link) {
    if (link.InBuffer.size() <= General.MaxMessage) return false;
    const qint64 size = link.InBuffer.size();
    AddLog(QStringLiteral("Meddelandet från maskinen är för stort (%1 tecken, gräns %2). Mottagningen avbruten.")
               .arg(size)
               .arg(General.MaxMessage));
    cmdAbort_Click();
    Status(QStringLiteral("Meddelandet från maskinen är för stort. Mottagningen avbruten."));
    return true;
}

void Station::SendData(QByteArray& message, LinkState& link, QTcpSocket* socket, bool quiet) {
    Traced(QStringLiteral("SendData()"), [&] {
        if (link.Kind == 0) {
            QByteArray closed = AddChecksum(message, Machine.EOB);
            WriteToSocket(socket, std::move(closed));
            return;
        }
        if (!Comm || !Comm->isOpen()) {
            if (!quiet)
                panel_.message(QStringLiteral("Com-porten är inte öppen.\r\nKontrollera inställningarna."), AppTitle(),
                               MsgIcon::Critical, OperatorPanel::Buttons::Ok);
            Status(QStringLiteral("Fel: Porten inte öppen."));
            cmdAbort_Click();
            return;
        }
        message = AddChecksum(message, Machine.EOB);
        const SendingScope scope(sending_);
        const qsizetype n = message.size();
        qsizetype position = 0;
        while (position < n && !Aborted) {
            panel_.setPanel(3, CtsStatus() ? QStringLiteral("CTS") : QString());
            QCoreApplication::processEvents();
            const QByteArray piece = message.mid(position, kPiece);
            Status(QStringLiteral("Väntar på CTS."));
            CtsTimer.start();
            while (!CtsStatus()) {
                panel_.setPanel(2, QString());
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                if (Aborted) return;
            }
            CtsTimer.stop();
            Status(QStringLiteral("Skickar..."));
            Comm->write(piece);
            SendTimer.start();
            panel_.setPanel(2, QString::number(position + 1) + QStringLiteral(" tecken"));
            if (Comm->outBufferCount() >= kHighMark) {
                while (Comm->outBufferCount() >= kLowMark) {
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                    if (Aborted) return;
                }
            }
            SendTimer.stop();
            Status(QStringLiteral("Sänder..."));
            position += kPiece;
        }
        if (!Aborted) Status(QStringLiteral("Sändning klar (") + link.FileName + QStringLiteral(")."));
        else Status(QStringLiteral("Sändning avbruten (") + link.FileName + QStringLiteral(")."));
    });
}

void Station::SendDatap1(QByteArray& message, LinkState& link, bool percentOnly, bool quiet) {
    Traced(QStringLiteral("SendDatap1()"), [&] {
        if (!Comm || !Comm->isOpen()) {
            if (!quiet)
                panel_.message(QStringLiteral("Com-porten är inte öppen.\r\nKontrollera inställningarna."), AppTitle(),
                               MsgIcon::Critical, OperatorPanel::Buttons::Ok);
            Status(QStringLiteral("Fel: Porten inte öppen."));
            cmdAbort_Click();
            return;
        }
        message = percentOnly ? message + '%' : AddEndMarker(message);
        const SendingScope scope(sending_);
        const qsizetype n = message.size();
        qsizetype position = 0;
        while (position < n && !Aborted) {
            panel_.setPanel(3, CtsStatus() ? QStringLiteral("CTS") : QString());
            QCoreApplication::processEvents();
            const QByteArray piece = message.mid(position, kPiece);
            Status(QStringLiteral("Väntar på CTS."));
            CtsTimer.start();
            while (!CtsStatus() && !Aborted) {
                panel_.setPanel(2, QString());
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
            if (Aborted) break;
            CtsTimer.stop();
            Status(QStringLiteral("Sänder..."));
            SendTimer.start();
            Comm->write(piece);
            panel_.setPanel(2, QString::number(position + 1) + QStringLiteral(" tecken"));
            if (Comm->outBufferCount() >= kHighMark) {
                while (Comm->outBufferCount() >= kLowMark && !Aborted)
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                if (Aborted) break;
            }
            SendTimer.stop();
            position += kPiece;
        }
        if (!Aborted) Status(QStringLiteral("Sändning klar (") + link.FileName + QStringLiteral(")."));
        else Status(QStringLiteral("Sändning avbruten (") + link.AbortReason + QStringLiteral(")."));
    });
}
