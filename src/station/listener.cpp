#include "station/listener.h"
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "link/listenserver.h"
#include "station/station.h"

Listener::Listener(QObject* parent) : QObject(parent), server_(new ListenServer(this)) {
    connect(server_, &ListenServer::connectionRequest, this, &Listener::incoming);
}

bool Listener::listen(const GeneralSettings& general) {
    server_->close();
    failure_.clear();
    warning_.clear();
    badAddress_ = false;
    setAllowedHosts(general.AllowedHosts);
    QHostAddress address;
    if (!ParseListenAddress(general.ListenAddress, &address)) {
        failure_ = QStringLiteral("Ogiltig ListenAddress ('%1'): inga anslutningar tas emot.")
                       .arg(EscapeControls(general.ListenAddress));
        AddLog(failure_);
        badAddress_ = true;
        return false;
    }
    if (!server_->listen(address, static_cast<quint16>(general.ListenPort))) {
        failure_ =
            QStringLiteral("Den inställda porten är upptagen. Gå in i inställningar och ställ in en annan port.");
        return false;
    }
    if (general.ListenAddress.trimmed().isEmpty())
        AddLog(QStringLiteral("Lyssnar på TCP-port %1.").arg(server_->serverPort()));
    else
        AddLog(QStringLiteral("Lyssnar på %1, TCP-port %2.").arg(address.toString()).arg(server_->serverPort()));
    return true;
}

void Listener::close() { server_->close(); }

void Listener::setAllowedHosts(const QString& allowedHosts) {
    QStringList bad;
    allowed_ = HostFilter(allowedHosts, &bad);
    warning_.clear();
    if (!bad.isEmpty()) {
        warning_ = QStringLiteral("Ogiltiga poster i AllowedHosts (de släpper inte in någon): ") +
                   EscapeControls(bad.join(QStringLiteral(", "))) + QLatin1Char('.');
        AddLog(warning_);
    }
}

quint16 Listener::port() const { return server_->isListening() ? server_->serverPort() : 0; }

void Listener::incoming(qintptr descriptor) {
    Traced(QStringLiteral("listensock_ConnectionRequest()"), [&] {
        const QHostAddress peer = Unmapped(PeerOfDescriptor(descriptor));
        const QString from = peer.isNull() ? QStringLiteral("okänd adress") : peer.toString();
        if (!allowed_.allows(peer)) {
            CloseDescriptor(descriptor);
            refusals_.refused(peer);
            return;
        }
        Station* station = route_ ? route_(peer) : nullptr;
        if (!station) {
            CloseDescriptor(descriptor);
            strangers_.refused(peer);
            return;
        }
        station->AcceptConnection(descriptor, from);
    });
}
