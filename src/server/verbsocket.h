#pragma once
// The shop server's local socket: a verb on the command line of this
// computer sends its words here when the server holds the machine, and gets
// back what its own verb prints and its exit status. Clients run side by
// side; one that leaves cancels its job.
// One JSON object a line each way. Only this user, root and members of the
// server's group are served, at most kMaxClients at once, and a client's line
// is due within kFirstLineMs. A socket that stops (an accept that failed, its
// file gone) is made again, with a log line and a growing pause.
#include "server/verbio.h"
#include <QLocalServer>
#include <QObject>
#include <QTimer>

class VerbSocket : public QObject {
    Q_OBJECT
public:
    // run: runs a verb's words for a client.
    static constexpr int kMaxClients = 32;
    static constexpr int kFirstLineMs = 10000;

    explicit VerbSocket(VerbRunner run, QObject* parent = nullptr);
    // False when no socket could be made now (the verbs then fail on the
    // busy port as without a server, saying why); it is tried again. path:
    // where the socket goes; a socket there is a dead server's (the caller
    // holds the lock); anything else is left alone and logged.
    bool listen(const QString& path);
    QString name() const { return server_.fullServerName(); }
    bool listening() const { return server_.isListening(); }
    // Clients whose verb has not ended yet.
    int serving() const { return serving_; }
    void close();
    // The first pause before the socket is made again (doubled up to 30 s).
    void setRetryInterval(int ms) { firstRetryMs_ = retryMs_ = ms; }

private:
    QCoro::Task<void> Serve(class QLocalSocket* client);
    bool Allowed(class QLocalSocket* client);
    bool open();
    QLocalServer server_;
    VerbRunner run_;
    QString path_;
    QTimer watch_;
    int firstRetryMs_ = 1000, retryMs_ = 1000;
    QString lastFailure_;  // told once until the socket is back
    int serving_ = 0, clients_ = 0;
    bool full_ = false;
};
