// The network link's connections: reading each one's messages, writing what
// goes out on it as it drains, and what a broken or silent one ends.
#include "station/netconnections.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "library/programfile.h"
#include "link/hostfilter.h"
#include "link/outgoing.h"
#include "link/socketerror.h"
#include "station/station.h"
#include <QTcpSocket>

namespace {
constexpr qint64 kReadBuffer = 1 << 20;
// Loopback and LAN sockets move data best in pieces of this size: one huge
// write doubles the memory, small ones cost time.
constexpr qsizetype kSocketPiece = 64 * 1024;
}  // namespace

NetConnections::NetConnections(Station& station) : st_(station) {}

NetConnections::~NetConnections() = default;

void NetConnections::wire(QTcpSocket* pc) {
    // A program arriving faster than it is written waits in the network, not here.
    pc->setReadBufferSize(kReadBuffer);
    QObject::connect(pc, &QTcpSocket::readyRead, &st_, [this, pc] {
        st_.Traced(QStringLiteral("comsock_DataArrival()"), [&] { arrived(pc); });
    });
    QObject::connect(pc, &QTcpSocket::errorOccurred, &st_, [this] { pcError(); });
    QObject::connect(pc, &QTcpSocket::bytesWritten, &st_, [this, pc] {
        // The answer time-out measures silence: a long program still going
        // out is no missing answer.
        if (st_.SvarTimer.isActive()) Station::Arm(st_.SvarTimer);
        feed(pc);
    });
    QObject::connect(pc, &QTcpSocket::disconnected, &st_, [this, pc] { disconnected(pc); });
    QObject::connect(pc, &QTcpSocket::stateChanged, &st_, &Station::Wake);
    QObject::connect(&st_.rx_.of(pc)->silence, &QTimer::timeout, &st_, [this, pc] { silent(pc); });
}

void NetConnections::forget(QTcpSocket* socket) {
    outgoing_.erase(socket);
    if (socket == st_.comsock) pcClosedByMachine_ = false;
}

void NetConnections::pcError() {
    QTcpSocket* pc = st_.comsock;
    if (pc->error() == QAbstractSocket::RemoteHostClosedError) {
        // A normal end, not a fault: what it cuts short is told when it closes.
        pcClosedByMachine_ = true;
        return;
    }
    st_.Traced(QStringLiteral("comsock_Error()"), [&] {
        const QString why = SocketErrorText(pc->error(), pc->errorString());
        st_.AbortExchange();
        st_.Status(QStringLiteral("Fel: ") + why);
    });
}

void NetConnections::arrived(QTcpSocket* socket) {
    Reception* r = st_.rx_.of(socket);
    if (!r || r->storing) return;  // read on once its store is answered
    // One buffer reused for every read: a fresh one per piece costs a page
    // fault per page of a large program.
    QByteArray& data = readBuffer_;
    data.resize(socket->bytesAvailable());
    data.resize(std::max<qint64>(0, socket->read(data.data(), data.size())));
    Receiver::passOver(r->skip, data);
    // The fetch's time-out measures the silence of its own connection.
    QTimer& timeout = st_.TimeoutTimer;
    if (timeout.isActive() && st_.OpenExchange() && st_.OpenExchange()->socket == socket) Station::Arm(timeout);
    if (data.isEmpty()) return;
    const bool complete = st_.rx_.accumulate(*r, data, 2, false, socket);
    if (!complete) {
        // A connection that stops in the middle of a message is not waited for for ever.
        if (r->busy() && timeout.interval() > 0) r->silence.start(timeout.interval());
        else r->silence.stop();
        return;
    }
    r->silence.stop();
    st_.rx_.handOver(*r, st_.NetLink, 2, socket);
    st_.rx_.parsed();
}

void NetConnections::silent(QTcpSocket* socket) {
    Reception* r = st_.rx_.of(socket);
    if (!r || !r->busy()) return;
    st_.AddLog(QStringLiteral("Maskinen tystnade mitt i ett meddelande. Förbindelsen stängd."));
    const bool program = r->program != nullptr;
    r->clear();
    outgoing_.erase(socket);
    if (socket == st_.comsock && st_.OpenExchange() && st_.OpenExchange()->socket == socket) {
        st_.AbortExchange();
        st_.Status(QStringLiteral("Kommando timeout."));
        st_.HidePilar();
    } else {
        st_.Status(program ? QStringLiteral("Kommando timeout. Programmet sparades inte.") : QStringLiteral("Kommando timeout."));
    }
    socket->abort();
}

NetConnections::Accepted* NetConnections::of(QTcpSocket* socket) const {
    for (const auto& a : accepted_)
        if (a->socket == socket) return a.get();
    return nullptr;
}

bool NetConnections::receiving() const {
    for (const auto& a : accepted_)
        if (a->rx.busy()) return true;
    return false;
}

bool NetConnections::idle() const {
    // A reply handed to its socket is sent only once the socket has written it.
    if (!outgoing_.empty() || st_.comsock->bytesToWrite() > 0) return false;
    for (const auto& a : accepted_)
        if (a->rx.busy() || a->pending > 0 || a->socket->bytesToWrite() > 0) return false;
    return true;
}

// A connection that ends in the middle of a message takes it along: the
// program it carried is not stored, the old file stays; one going out stays
// unfinished. An operation waiting for its answer on the PC's own connection
// ends at once: no answer can come on a closed connection.
void NetConnections::disconnected(QTcpSocket* socket) {
    if (socket->bytesAvailable() > 0) arrived(socket);
    Reception* r = st_.rx_.of(socket);
    if (!r) return;
    const bool receiving = r->busy(), program = r->program != nullptr;
    const bool sending = outgoing_.erase(socket) > 0;  // a program's file closes here
    r->clear();
    QTcpSocket* pc = st_.comsock;
    const Exchange* x = st_.OpenExchange();
    const bool awaited = socket == pc && x && x->socket == pc && !x->arrived && (pcClosedByMachine_ || receiving || sending);
    if (receiving) st_.AddLog(QStringLiteral("Förbindelsen bröts mitt i ett meddelande från maskinen."));
    if (sending) st_.AddLog(QStringLiteral("Förbindelsen bröts mitt i ett meddelande till maskinen."));
    QString text;
    if (receiving && program) text = QStringLiteral("Förbindelsen bröts. Programmet sparades inte.");
    else if (sending) text = QStringLiteral("Förbindelsen bröts. Sändningen avbröts.");
    else if (awaited) text = QStringLiteral("Förbindelsen bröts innan maskinen svarade.");
    if (awaited) {
        st_.AddLog(text);
        st_.AbortExchange();
    }
    if (!text.isEmpty()) st_.Status(text);
    if (socket == pc) return;
    // Gone once the handlers that may still name it have returned.
    QMetaObject::invokeMethod(
        &st_,
        [this, socket] {
            for (auto it = accepted_.begin(); it != accepted_.end(); ++it)
                if ((*it)->socket == socket) {
                    socket->disconnect(&st_);
                    socket->deleteLater();
                    accepted_.erase(it);
                    break;
                }
            if (!st_.MasterSock && !accepted_.empty()) st_.MasterSock = accepted_.back()->socket;
        },
        Qt::QueuedConnection);
    if (st_.MasterSock == socket) st_.MasterSock = nullptr;
}

// The machine's connections: a new one never cuts off one that is storing,
// being answered or waiting for its answer; one that is idle is replaced, as
// the machine's new connection always replaced its old one.
void NetConnections::accept(qintptr descriptor, const QString& from) {
    auto a = std::make_unique<Accepted>();
    a->socket = new QTcpSocket(&st_);
    if (!a->socket->setSocketDescriptor(descriptor)) {
        delete a->socket;
        CloseDescriptor(descriptor);
        return;
    }
    st_.AddLog(QStringLiteral("Anslutning från %1.").arg(from));
    for (const auto& old : accepted_)
        if (!old->rx.busy() && !outgoing_.count(old->socket) && old->pending == 0 &&
            old->socket->state() == QAbstractSocket::ConnectedState)
            old->socket->disconnectFromHost();
    QTcpSocket* socket = a->socket;
    socket->setReadBufferSize(kReadBuffer);
    QObject::connect(socket, &QTcpSocket::readyRead, &st_, [this, socket] {
        st_.Traced(QStringLiteral("MasterSock_DataArrival()"), [&] { arrived(socket); });
    });
    QObject::connect(socket, &QTcpSocket::bytesWritten, &st_, [this, socket] { feed(socket); });
    QObject::connect(socket, &QTcpSocket::disconnected, &st_, [this, socket] { disconnected(socket); });
    QObject::connect(&a->rx.silence, &QTimer::timeout, &st_, [this, socket] { silent(socket); });
    a->stall.setSingleShot(true);
    QObject::connect(&a->stall, &QTimer::timeout, &st_, [this, socket] {
        st_.AddLog(QStringLiteral("Maskinen tar inte emot det som skickas till den (sändningstimeout). Förbindelsen stängd."));
        st_.Status(QStringLiteral("Sändning timeout. Förbindelsen till maskinen stängd."));
        stopSending(socket);
        socket->abort();
    });
    accepted_.push_back(std::move(a));
    st_.MasterSock = socket;
}

void NetConnections::abort(bool machinesToo) {
    if (machinesToo)
        for (auto& a : accepted_) a->rx.abort();
    stopSending(st_.comsock);
    if (machinesToo)
        for (auto& a : accepted_) stopSending(a->socket);
}

void NetConnections::close() {
    for (auto& a : accepted_) {
        a->socket->disconnect(&st_);
        a->socket->abort();
    }
    st_.comsock->disconnect(&st_);
}

void NetConnections::stopSending(QTcpSocket* socket) {
    if (!socket || outgoing_.erase(socket) == 0) return;
    st_.AddLog(QStringLiteral("Sändningen till maskinen avbröts."));
    socket->abort();
}

void NetConnections::write(QTcpSocket* socket, std::unique_ptr<Outgoing> message) {
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        st_.AddLog(QStringLiteral("Ingen nätverksförbindelse; svaret kunde inte skickas."));
        return;
    }
    outgoing_[socket].push_back(std::move(message));
    feed(socket);
}

// Tops the socket's buffer up from the waiting messages as it drains, so that
// a program is read from its file no faster than the machine takes it.
void NetConnections::feed(QTcpSocket* socket) {
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
        st_.AddLog(why);
        outgoing_.erase(it);
        socket->abort();
        if (socket == st_.comsock && st_.OpenExchange() && st_.OpenExchange()->socket == socket) {
            st_.exchanges_.end(Exchange::State::Failed);
            st_.Aborted = true;
            st_.HidePilar();
        }
        st_.Status(why);
        return;
    }
    if (queue.empty()) outgoing_.erase(it);
    // Each piece the machine takes restarts its send time-out.
    if (Accepted* a = of(socket)) {
        if (socket->bytesToWrite() > 0 && st_.General.SendTimeout > 0) a->stall.start(st_.General.SendTimeout);
        else a->stall.stop();
    }
}
