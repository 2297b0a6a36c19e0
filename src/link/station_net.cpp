// The network link: the PC's client socket, the listening socket and the
// machine's own connection.
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "library/programfile.h"
#include "link/hostfilter.h"
#include "link/listenserver.h"
#include "link/outgoing.h"
#include "link/socketerror.h"
#include "link/station.h"
#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QScopedValueRollback>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
// Loopback and LAN sockets move data best in pieces of this size: one huge
// write doubles the memory, small ones cost time.
constexpr qsizetype kSocketPiece = 64 * 1024;
}  // namespace

bool Station::StartListening() {
    listensock->close();
    ListenFailure.clear();
    QStringList bad;
    allowedHosts_ = HostFilter(General.AllowedHosts, &bad);
    if (!bad.isEmpty()) {
        const QString text = QStringLiteral("Ogiltiga poster i AllowedHosts (de släpper inte in någon): ") +
                             EscapeControls(bad.join(QStringLiteral(", "))) + QLatin1Char('.');
        AddLog(text);
        Status(text);
    }
    QHostAddress address;
    if (!ParseListenAddress(General.ListenAddress, &address)) {
        const QString text = QStringLiteral("Ogiltig ListenAddress ('%1'): inga anslutningar tas emot.")
                                 .arg(EscapeControls(General.ListenAddress));
        AddLog(text);
        Status(text);
        ListenFailure = text;
        return false;
    }
    if (!listensock->listen(address, static_cast<quint16>(General.ListenPort))) {
        ListenFailure =
            QStringLiteral("Den inställda porten är upptagen. Gå in i inställningar och ställ in en annan port.");
        return false;
    }
    if (General.ListenAddress.trimmed().isEmpty())
        AddLog(QStringLiteral("Lyssnar på TCP-port %1.").arg(listensock->serverPort()));
    else
        AddLog(QStringLiteral("Lyssnar på %1, TCP-port %2.").arg(address.toString()).arg(listensock->serverPort()));
    return true;
}

quint16 Station::ListeningPort() const { return listensock->isListening() ? listensock->serverPort() : 0; }

bool Station::ConnectToSock(QTcpSocket* socket) {
    bool connected = false;
    Traced(QStringLiteral("ConnectToSock()"), [&] {
        // A port outside 1-65535 would wrap to another port (70000 to 4464).
        bool portOk = false;
        const int port = Machine.Port.trimmed().toInt(&portOk);
        if (Machine.IP.isEmpty() || !portOk || port < 1 || port > 65535) {
            panel_.message(QStringLiteral("Ingen/felaktig IP address eller port."), QStringLiteral("Fel"),
                           MsgIcon::Critical, OperatorPanel::Buttons::Ok);
            Aborted = true;
            return;
        }
        outgoing_.erase(socket);
        if (socket == comsock) comsockClosedByMachine_ = false;
        socket->abort();
        DropMessage(ReceptionOf(socket));
        NetTimer.start();
        socket->connectToHost(Machine.IP.trimmed(), static_cast<quint16>(port));
        while ((socket->state() == QAbstractSocket::HostLookupState ||
                socket->state() == QAbstractSocket::ConnectingState) &&
               !Aborted)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        NetTimer.stop();
        connected = socket->state() == QAbstractSocket::ConnectedState;
        // An attempt that outlived its wait must not fail later, in the
        // middle of whatever runs then.
        if (!connected) socket->abort();
    });
    return connected;
}

void Station::comsock_DataArrival() {
    Traced(QStringLiteral("comsock_DataArrival()"), [&] { NetDataArrival(comsock); });
}

void Station::MasterSock_DataArrival() {
    Traced(QStringLiteral("MasterSock_DataArrival()"), [&] { NetDataArrival(MasterSock); });
}

void Station::NetDataArrival(QTcpSocket* socket) {
    const Reception r = ReceptionOf(socket);
    // One buffer reused for every read: a fresh one per piece costs a page
    // fault per page of a large program.
    QByteArray& data = readBuffer_;
    data.resize(socket->bytesAvailable());
    data.resize(std::max<qint64>(0, socket->read(data.data(), data.size())));
    PassOver(r.skip, data);
    if (TimeoutTimer.isActive()) Arm(TimeoutTimer);  // it measures silence, not the whole transfer
    if (data.isEmpty() || !Accumulate(r, data, 2, false)) return;
    // A reply goes back on the connection its message came from.
    const QScopedValueRollback<QTcpSocket*> from(parsingFrom_, socket);
    HandOver(r, NetLink, 2);
    DropMessage(r);
    Q_EMIT messageParsed();
}

// A connection that ends in the middle of a message takes it along: the
// program it carried is not stored, the old file stays; one going out stays
// unfinished. An operation waiting for its answer on the PC's own connection
// ends at once: no answer can come on a closed connection.
void Station::NetDisconnected(QTcpSocket* socket) {
    if (socket->bytesAvailable() > 0) NetDataArrival(socket);
    const Reception r = ReceptionOf(socket);
    const bool receiving = !r.in.isEmpty(), program = r.program != nullptr;
    const bool sending = outgoing_.erase(socket) > 0;  // a program's file closes here
    DropMessage(r);
    const bool awaited = socket == comsock && !TransferDone && (TimeoutTimer.isActive() || SvarTimer.isActive()) &&
                         (comsockClosedByMachine_ || receiving || sending);
    if (receiving) AddLog(QStringLiteral("Förbindelsen bröts mitt i ett meddelande från maskinen."));
    if (sending) AddLog(QStringLiteral("Förbindelsen bröts mitt i ett meddelande till maskinen."));
    QString text;
    if (receiving && program) text = QStringLiteral("Förbindelsen bröts. Programmet sparades inte.");
    else if (sending) text = QStringLiteral("Förbindelsen bröts. Sändningen avbröts.");
    else if (awaited) text = QStringLiteral("Förbindelsen bröts innan maskinen svarade.");
    if (awaited) {
        AddLog(text);
        cmdAbort_Click();
    }
    if (!text.isEmpty()) Status(text);
}

QByteArray& Station::InBufferOf(LinkState& link) {
    return &link == &NetLink && parsingFrom_ == MasterSock ? MasterInBuffer : link.InBuffer;
}

QTcpSocket* Station::ReplySocket() const { return parsingFrom_ ? parsingFrom_ : MasterSock; }

void Station::listensock_ConnectionRequest(qintptr descriptor) {
    Traced(QStringLiteral("listensock_ConnectionRequest()"), [&] {
        const QHostAddress peer = Unmapped(PeerOfDescriptor(descriptor));
        const QString from = peer.isNull() ? QStringLiteral("okänd adress") : peer.toString();
        if (!allowedHosts_.allows(peer)) {
            // Closed before it reaches MasterSock: the machine's own connection stays.
            CloseDescriptor(descriptor);
            AddLog(QStringLiteral("Anslutning från %1 nekad (inte i AllowedHosts).").arg(from));
            return;
        }
        AddLog(QStringLiteral("Anslutning från %1.").arg(from));
        if (MasterSock->state() != QAbstractSocket::UnconnectedState) MasterSock->abort();
        outgoing_.erase(MasterSock);
        // A half message of a dropped connection must not poison the next request.
        DropMessage(ReceptionOf(MasterSock));
        MasterSock->setSocketDescriptor(descriptor);
    });
}

void Station::comsock_Error() {
    if (comsock->error() == QAbstractSocket::RemoteHostClosedError) {
        // A normal end, not a fault: what it cuts short is told when it closes.
        comsockClosedByMachine_ = true;
        return;
    }
    Traced(QStringLiteral("comsock_Error()"), [&] {
        const QString why = SocketErrorText(comsock->error(), comsock->errorString());
        cmdAbort_Click();
        Status(QStringLiteral("Fel: ") + why);
    });
}

void Station::WriteToSocket(QTcpSocket* socket, std::unique_ptr<Outgoing> message) {
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        AddLog(QStringLiteral("Ingen nätverksförbindelse; svaret kunde inte skickas."));
        return;
    }
    outgoing_[socket].push_back(std::move(message));
    FeedSocket(socket);
}

// Tops the socket's buffer up from the waiting messages as it drains, so that
// a program is read from its file no faster than the machine takes it.
void Station::FeedSocket(QTcpSocket* socket) {
    auto it = outgoing_.find(socket);
    if (it == outgoing_.end()) return;
    auto& queue = it->second;
    try {
        while (!queue.empty() && socket->state() == QAbstractSocket::ConnectedState) {
            const qint64 room = kSocketPiece - socket->bytesToWrite();
            if (room <= 0) break;
            const QByteArray piece = queue.front()->next(room);
            if (piece.isEmpty()) {
                queue.pop_front();
                continue;
            }
            if (socket->write(piece) < 0) break;
        }
    } catch (const AppError& e) {
        // A program that cannot be read to its end must not reach the machine
        // as a shorter one: the connection is dropped before its closing.
        const QString why = FileResult{false, e.number(), e.description()}.message();
        AddLog(why);
        Status(why);
        outgoing_.erase(it);
        socket->abort();
        return;
    }
    if (queue.empty()) outgoing_.erase(it);
}
