#include "server/verbsocket.h"

#include "common/log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>
#ifdef Q_OS_LINUX
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>
#endif

namespace {
// A request line longer than this is no command line.
constexpr qint64 kMaxLine = 1024 * 1024;

QJsonObject ReadLine(QLocalSocket* socket) {
    return QJsonDocument::fromJson(socket->readLine(kMaxLine)).object();
}

// The peer's user and pid from the kernel ("anna (pid 4242)"); empty when unknown.
QString PeerName(QLocalSocket* socket) {
#ifdef Q_OS_LINUX
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return {};
    passwd entry{}, *found = nullptr;
    std::vector<char> buffer(16384);
    const QString user = ::getpwuid_r(peer.uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found
                             ? QString::fromLocal8Bit(found->pw_name)
                             : QString::number(peer.uid);
    return QStringLiteral("%1 (pid %2)").arg(user).arg(peer.pid);
#else
    Q_UNUSED(socket);
    return {};
#endif
}

class ClientIO : public VerbIO {
public:
    ClientIO(QLocalSocket* socket, QString who) : socket_(socket), who_(std::move(who)) {
        gone_ = QObject::connect(socket, &QLocalSocket::disconnected, socket, [this] {
            if (cancel_) std::exchange(cancel_, {})();
        });
    }
    ~ClientIO() override { QObject::disconnect(gone_); }
    void out(const QString& text) override { Send({{QStringLiteral("out"), text}}); }
    void err(const QString& text) override { Send({{QStringLiteral("err"), text}}); }
    QString who() const override { return who_; }
    void onGone(std::function<void()> cancel) override {
        cancel_ = std::move(cancel);
        // Gone already: nothing is left to serve.
        if (cancel_ && (!socket_ || socket_->state() != QLocalSocket::ConnectedState)) std::exchange(cancel_, {})();
    }

private:
    void Send(const QJsonObject& message) {
        if (socket_ && socket_->state() == QLocalSocket::ConnectedState)
            socket_->write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    }
    QPointer<QLocalSocket> socket_;
    QString who_;
    std::function<void()> cancel_;
    QMetaObject::Connection gone_;
};
}  // namespace

VerbSocket::VerbSocket(VerbRunner run, QObject* parent)
    : QObject(parent), run_(std::move(run)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server_.nextPendingConnection()) {
            client->setParent(this);
            if (!Allowed(client)) {
                client->abort();
                client->deleteLater();
                continue;
            }
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            // The words may come in pieces; the verb starts once its line is whole.
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->property("running").toBool()) return;
                if (!client->canReadLine()) {
                    if (client->bytesAvailable() > kMaxLine) client->abort();
                    return;
                }
                client->setProperty("running", true);
                Serve(client);
            });
        }
    });
}

bool VerbSocket::listen(const QString& path) {
    // The group may connect (the shop's programmers under the service);
    // Allowed() decides who is served.
    server_.setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    if (path.isEmpty()) {
        AddLog(QStringLiteral("Servern kan inte ta emot kommandon från andra program: ingen säker plats för dess "
                              "lokala socket."));
        return false;
    }
    QLocalServer::removeServer(path);
    if (server_.listen(path)) return true;
    AddLog(QStringLiteral("Servern kan inte ta emot kommandon från andra program: ") + server_.errorString());
    return false;
}

// The peer's credentials from the kernel, not from anything it says.
bool VerbSocket::Allowed(QLocalSocket* client) {
#ifdef Q_OS_LINUX
    const int fd = int(client->socketDescriptor());
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    if (peer.uid == ::geteuid() || peer.uid == 0) return true;
    // The group only where the shop laid the program folder out for one
    // (group-writable, as the service's is): a user's own server may share
    // a primary group such as "users" with everyone.
    const gid_t own = ::getegid();
    if (!(QFileInfo(QFileInfo(server_.fullServerName()).absolutePath()).permissions() & QFile::WriteGroup)) {
        AddLog(QStringLiteral("Kommando från process %1 (användare %2) nekat: bara samma användare och root får "
                              "använda servern.")
                   .arg(peer.pid)
                   .arg(peer.uid));
        return false;
    }
    if (peer.gid == own) return true;
    std::vector<gid_t> groups(256);
    socklen_t bytes = socklen_t(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
        for (size_t i = 0; i < bytes / sizeof(gid_t); ++i)
            if (groups[i] == own) return true;
    }
    const struct group* g = ::getgrgid(own);
    AddLog(QStringLiteral("Kommando från process %1 (användare %2) nekat: bara samma användare, root och gruppen %3 "
                          "får använda servern.")
               .arg(peer.pid)
               .arg(peer.uid)
               .arg(g ? QString::fromLocal8Bit(g->gr_name) : QString::number(own)));
    return false;
#else
    Q_UNUSED(client);
    return true;
#endif
}

QCoro::Task<void> VerbSocket::Serve(QLocalSocket* socket) {
    ++serving_;
    const auto served = qScopeGuard([this] { --serving_; });
    const QPointer<QLocalSocket> client(socket);
    const QJsonObject request = ReadLine(socket);
    QStringList words;
    for (const QJsonValue& w : request.value(QStringLiteral("words")).toArray()) words << w.toString();
    const QString who = PeerName(socket);
    AddLog(QStringLiteral("Kommando från annat program: ") + words.join(QLatin1Char(' ')) +
           QStringLiteral(" (användare %1)").arg(who.isEmpty() ? QStringLiteral("okänd") : who));
    int status = 2;
    {
        ClientIO io(socket, who);
        if (!words.isEmpty()) status = co_await run_(words, io);
    }
    if (!client) co_return;
    client->write(QJsonDocument(QJsonObject{{QStringLiteral("exit"), status}}).toJson(QJsonDocument::Compact) + '\n');
    client->disconnectFromServer();
}
