#pragma once
// The shop server's local socket: a verb on the command line of this
// computer sends its words here when the server holds the machine, and gets
// back what its own verb prints and its exit status. Clients run side by
// side; one that leaves cancels its job.
// One JSON object a line each way. Only this user, root and members of the
// server's group are served.
#include "server/verbio.h"
#include <QLocalServer>
#include <QObject>

class VerbSocket : public QObject {
    Q_OBJECT
public:
    // run: runs a verb's words for a client.
    explicit VerbSocket(VerbRunner run, QObject* parent = nullptr);
    // False when no socket could be made (the verbs then fail on the busy
    // port as without a server, saying why). path: where the socket goes;
    // whatever lies there is a dead server's (the caller holds the lock).
    bool listen(const QString& path);
    QString name() const { return server_.fullServerName(); }
    // Clients whose verb has not ended yet.
    int serving() const { return serving_; }
    void close() { server_.close(); }

private:
    QCoro::Task<void> Serve(class QLocalSocket* client);
    bool Allowed(class QLocalSocket* client);
    QLocalServer server_;
    VerbRunner run_;
    int serving_ = 0;
};
