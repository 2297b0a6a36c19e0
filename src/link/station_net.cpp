// The network link: the PC's client socket, the listening socket and the
// machine's own connection.
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "library/programfile.h"
#include "link/hostfilter.h"
#include "link/listener.h"
#include "link/outgoing.h"
#include "link/socketerror.h"
#include "link/station.h"
#include "common/trace.h"
#include <QCoreApplication>
#include <QHostAddress>
#include <QScopedValueRollback>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
constexpr qint64 kReadBuffer = 1 << 20;
// Loopback and LAN sockets move data best in pieces of this size: one huge
// write doubles the memory, small ones cost time.
constexpr qsizetype kSocketPiece = 64 * 1024;
}  // namespace

bool Station::StartListening() {
    if (!listener_) {
        listener_ = new Listener(this);
        listener_->setRoute([this](const QHostAddress&) { return this; });
    }
    ListenFailure.clear();
    const bool ok = listener_->listen(General);
    if (!listener_->warning().isEmpty()) Status(listener_->warning());
    if (!ok) {
        ListenFailure = listener_->failure();
        if (listener_->badAddress()) Status(ListenFailure);
    }
    return ok;
}

quint16 Station::ListeningPort() const { return listener_ ? listener_->port() : 0; }

QCoro::Task<bool> Station::ConnectToSock(QTcpSocket* socket) {
    TraceEnter(QStringLiteral("ConnectToSock()"));
    // A port outside 1-65535 would wrap to another port (70000 to 4464).
    bool portOk = false;
    const int port = Machine.Port.trimmed().toInt(&portOk);
    if (Machine.IP.isEmpty() || !portOk || port < 1 || port > 65535) {
        panel_.message(QStringLiteral("Ingen/felaktig IP address eller port."), QStringLiteral("Fel"),
                       MsgIcon::Critical, OperatorPanel::Buttons::Ok);
        Aborted = true;
        co_return false;
    }
    outgoing_.erase(socket);
    if (socket == comsock) comsockClosedByMachine_ = false;
    socket->abort();
    if (Reception* r = ReceptionOf(socket)) r->clear();
    NetTimer.start();
    socket->connectToHost(Machine.IP.trimmed(), static_cast<quint16>(port));
    // The connection's own state changes wake the wait; NetTimer bounds it.
    const auto settled = [socket] {
        return socket->state() != QAbstractSocket::HostLookupState &&
               socket->state() != QAbstractSocket::ConnectingState;
    };
    co_await WaitFor(settled);
    NetTimer.stop();
    const bool connected = socket->state() == QAbstractSocket::ConnectedState;
    // An attempt that outlived its wait must not fail later, in the
    // middle of whatever runs then.
    if (!connected) socket->abort();
    co_return connected;
}

void Station::comsock_DataArrival() {
    Traced(QStringLiteral("comsock_DataArrival()"), [&] { NetDataArrival(comsock); });
}

void Station::MasterSock_DataArrival(QTcpSocket* socket) {
    Traced(QStringLiteral("MasterSock_DataArrival()"), [&] { NetDataArrival(socket); });
}

void Station::NetDataArrival(QTcpSocket* socket) {
    Reception* r = ReceptionOf(socket);
    if (!r || r->storing) return;  // read on once its store is answered
    // One buffer reused for every read: a fresh one per piece costs a page
    // fault per page of a large program.
    QByteArray& data = readBuffer_;
    data.resize(socket->bytesAvailable());
    data.resize(std::max<qint64>(0, socket->read(data.data(), data.size())));
    PassOver(r->skip, data);
    // The fetch's time-out measures the silence of its own connection.
    if (TimeoutTimer.isActive() && OpenExchange() && exchange_->socket == socket) Arm(TimeoutTimer);
    if (data.isEmpty()) return;
    const bool complete = Accumulate(*r, data, 2, false, socket);
    if (!complete) {
        // A connection that stops in the middle of a message is not waited for for ever.
        if (r->busy() && TimeoutTimer.interval() > 0) r->silence.start(TimeoutTimer.interval());
        else r->silence.stop();
        return;
    }
    r->silence.stop();
    HandOver(*r, NetLink, 2, socket);
    if (!std::exchange(parseDeferred_, false)) Q_EMIT messageParsed();
}

void Station::SilenceOnConnection(QTcpSocket* socket) {
    Reception* r = ReceptionOf(socket);
    if (!r || !r->busy()) return;
    AddLog(QStringLiteral("Maskinen tystnade mitt i ett meddelande. Förbindelsen stängd."));
    const bool program = r->program != nullptr;
    r->clear();
    outgoing_.erase(socket);
    if (socket == comsock && OpenExchange() && exchange_->socket == comsock) {
        AbortExchange();
        Status(QStringLiteral("Kommando timeout."));
        HidePilar();
    } else {
        Status(program ? QStringLiteral("Kommando timeout. Programmet sparades inte.") : QStringLiteral("Kommando timeout."));
    }
    socket->abort();
}

Station::Accepted* Station::AcceptedOf(QTcpSocket* socket) const {
    for (const auto& a : accepted_)
        if (a->socket == socket) return a.get();
    return nullptr;
}

// A connection that ends in the middle of a message takes it along: the
// program it carried is not stored, the old file stays; one going out stays
// unfinished. An operation waiting for its answer on the PC's own connection
// ends at once: no answer can come on a closed connection.
void Station::NetDisconnected(QTcpSocket* socket) {
    if (socket->bytesAvailable() > 0) NetDataArrival(socket);
    Reception* r = ReceptionOf(socket);
    if (!r) return;
    const bool receiving = r->busy(), program = r->program != nullptr;
    const bool sending = outgoing_.erase(socket) > 0;  // a program's file closes here
    r->clear();
    const bool awaited = socket == comsock && OpenExchange() && exchange_->socket == comsock && !exchange_->arrived &&
                         (comsockClosedByMachine_ || receiving || sending);
    if (receiving) AddLog(QStringLiteral("Förbindelsen bröts mitt i ett meddelande från maskinen."));
    if (sending) AddLog(QStringLiteral("Förbindelsen bröts mitt i ett meddelande till maskinen."));
    QString text;
    if (receiving && program) text = QStringLiteral("Förbindelsen bröts. Programmet sparades inte.");
    else if (sending) text = QStringLiteral("Förbindelsen bröts. Sändningen avbröts.");
    else if (awaited) text = QStringLiteral("Förbindelsen bröts innan maskinen svarade.");
    if (awaited) {
        AddLog(text);
        AbortExchange();
    }
    if (!text.isEmpty()) Status(text);
    if (socket == comsock) return;
    // Gone once the handlers that may still name it have returned.
    QMetaObject::invokeMethod(
        this,
        [this, socket] {
            for (auto it = accepted_.begin(); it != accepted_.end(); ++it)
                if ((*it)->socket == socket) {
                    socket->disconnect(this);
                    socket->deleteLater();
                    accepted_.erase(it);
                    break;
                }
            if (!MasterSock && !accepted_.empty()) MasterSock = accepted_.back()->socket;
        },
        Qt::QueuedConnection);
    if (MasterSock == socket) MasterSock = nullptr;
}

// The machine's connections: a new one never cuts off one that is storing,
// being answered or waiting for its answer; one that is idle is replaced, as
// the machine's new connection always replaced its old one.
void Station::AcceptConnection(qintptr descriptor, const QString& from) {
    auto a = std::make_unique<Accepted>();
    a->socket = new QTcpSocket(this);
    if (!a->socket->setSocketDescriptor(descriptor)) {
        delete a->socket;
        CloseDescriptor(descriptor);
        return;
    }
    AddLog(QStringLiteral("Anslutning från %1.").arg(from));
    for (const auto& old : accepted_)
        if (!old->rx.busy() && !outgoing_.count(old->socket) && old->pending == 0 &&
            old->socket->state() == QAbstractSocket::ConnectedState)
            old->socket->disconnectFromHost();
    QTcpSocket* socket = a->socket;
    socket->setReadBufferSize(kReadBuffer);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { MasterSock_DataArrival(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { FeedSocket(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { NetDisconnected(socket); });
    connect(&a->rx.silence, &QTimer::timeout, this, [this, socket] { SilenceOnConnection(socket); });
    a->stall.setSingleShot(true);
    connect(&a->stall, &QTimer::timeout, this, [this, socket] {
        AddLog(QStringLiteral("Maskinen tar inte emot det som skickas till den (sändningstimeout). Förbindelsen stängd."));
        Status(QStringLiteral("Sändning timeout. Förbindelsen till maskinen stängd."));
        StopSending(socket);
        socket->abort();
    });
    accepted_.push_back(std::move(a));
    MasterSock = socket;
}

void Station::comsock_Error() {
    if (comsock->error() == QAbstractSocket::RemoteHostClosedError) {
        // A normal end, not a fault: what it cuts short is told when it closes.
        comsockClosedByMachine_ = true;
        return;
    }
    Traced(QStringLiteral("comsock_Error()"), [&] {
        const QString why = SocketErrorText(comsock->error(), comsock->errorString());
        AbortExchange();
        Status(QStringLiteral("Fel: ") + why);
    });
}

void Station::StopSending(QTcpSocket* socket) {
    if (!socket || outgoing_.erase(socket) == 0) return;
    AddLog(QStringLiteral("Sändningen till maskinen avbröts."));
    socket->abort();
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
        // A program that cannot be read to its end, or that changed on its
        // way, must not reach the machine as another one: the connection is
        // dropped before its closing.
        const QString why = SendFailureText(e);
        AddLog(why);
        outgoing_.erase(it);
        socket->abort();
        if (socket == comsock && OpenExchange() && exchange_->socket == comsock) {
            EndExchange(Exchange::State::Failed);
            Aborted = true;
            HidePilar();
        }
        Status(why);
        return;
    }
    if (queue.empty()) outgoing_.erase(it);
    // Each piece the machine takes restarts its send time-out.
    if (Accepted* a = AcceptedOf(socket)) {
        if (socket->bytesToWrite() > 0 && General.SendTimeout > 0) a->stall.start(General.SendTimeout);
        else a->stall.stop();
    }
}
