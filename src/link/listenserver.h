#pragma once
// A listening socket that hands over the descriptor of each incoming
// connection, so that one long-lived socket object can accept it, as the
// original's "accept by request id" did.
#include <QTcpServer>

class ListenServer : public QTcpServer {
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;

Q_SIGNALS:
    void connectionRequest(qintptr descriptor);

protected:
    void incomingConnection(qintptr descriptor) override { Q_EMIT connectionRequest(descriptor); }
};
