// The network link: listening, and the PC's connection to the machine; the
// connections themselves are kept by NetConnections.
#include "station/listener.h"
#include "station/station.h"
#include "common/trace.h"
#include <QHostAddress>
#include <QTcpSocket>

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
    conns_.forget(socket);
    socket->abort();
    if (Reception* r = rx_.of(socket)) r->clear();
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

void Station::AcceptConnection(qintptr descriptor, const QString& from) { conns_.accept(descriptor, from); }

bool Station::MachineReceiving() const { return conns_.receiving(); }
