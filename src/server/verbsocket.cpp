#include "server/verbsocket.h"

#include "common/log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>
#ifdef Q_OS_LINUX
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// The peer's user and groups from the kernel; null when unknown.
std::optional<PeerRights> RightsOf(QLocalSocket* socket) {
#ifdef Q_OS_LINUX
    const int fd = int(socket->socketDescriptor());
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return std::nullopt;
    PeerRights rights{peer.uid, peer.gid, {}};
    std::vector<gid_t> groups(256);
    socklen_t bytes = socklen_t(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0)
        rights.groups.assign(groups.begin(), groups.begin() + bytes / sizeof(gid_t));
    return rights;
#else
    Q_UNUSED(socket);
    return std::nullopt;
#endif
}

class ClientIO : public VerbIO {
public:
    ClientIO(QLocalSocket* socket, QString who, std::optional<PeerRights> rights)
        : socket_(socket), who_(std::move(who)), rights_(std::move(rights)) {
        gone_ = QObject::connect(socket, &QLocalSocket::disconnected, socket, [this] {
            if (cancel_) std::exchange(cancel_, {})();
        });
    }
    ~ClientIO() override { QObject::disconnect(gone_); }
    void out(const QString& text) override { Send({{QStringLiteral("out"), text}}); }
    void err(const QString& text) override { Send({{QStringLiteral("err"), text}}); }
    QString who() const override { return who_; }
    // Unknown rights reach nothing but the library.
    const PeerRights* peer() const override { return rights_ ? &*rights_ : &nobody_; }
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
    std::optional<PeerRights> rights_;
    PeerRights nobody_{~0u, ~0u, {}};
    std::function<void()> cancel_;
    QMetaObject::Connection gone_;
};
}  // namespace

VerbSocket::VerbSocket(VerbRunner run, QObject* parent)
    : QObject(parent), run_(std::move(run)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server_.nextPendingConnection()) {
            client->setParent(this);
            if (clients_ >= kMaxClients) {
                if (!std::exchange(full_, true))
                    AddLog(QStringLiteral("Servern tar emot högst %1 kommandon åt gången; fler nekas tills några är klara.")
                               .arg(kMaxClients));
                client->abort();
                client->deleteLater();
                continue;
            }
            if (!Allowed(client)) {
                client->abort();
                client->deleteLater();
                continue;
            }
            ++clients_;
            connect(client, &QObject::destroyed, this, [this] {
                if (--clients_ < kMaxClients / 2) full_ = false;
            });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            // A client that never says what it wants does not keep its place.
            QTimer::singleShot(kFirstLineMs, client, [client] {
                if (!client->property("running").toBool()) {
                    client->abort();
                    client->deleteLater();
                }
            });
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
    path_ = path;
    // QLocalServer closes itself, silently, when an accept fails (no
    // descriptor left): looked after here, and made again.
    watch_.disconnect();
    connect(&watch_, &QTimer::timeout, this, [this] {
        if (server_.isListening() && QFileInfo::exists(path_)) {
            retryMs_ = firstRetryMs_;
            watch_.setInterval(firstRetryMs_);
            return;
        }
        if (server_.isListening()) {
            server_.close();
            lastFailure_ = QStringLiteral("%1 togs bort").arg(path_);
            AddLog(QStringLiteral("Serverns lokala socket %1 togs bort; den görs om.").arg(path_));
        } else if (lastFailure_.isEmpty() && !server_.errorString().isEmpty()) {
            lastFailure_ = server_.errorString();
            AddLog(QStringLiteral("Serverns lokala socket stängdes (%1); den görs om.").arg(lastFailure_));
        }
        if (!open()) {
            retryMs_ = std::min(retryMs_ * 2, 30000);
            watch_.setInterval(retryMs_);
        }
    });
    const bool opened = open();
    watch_.start(retryMs_);
    return opened;
}

void VerbSocket::close() {
    watch_.stop();
    server_.close();
}

bool VerbSocket::open() {
    QString why;
#ifdef Q_OS_LINUX
    // Only a socket is a dead server's: anything else someone put there.
    struct stat st{};
    if (::lstat(QFile::encodeName(path_).constData(), &st) == 0 && !S_ISSOCK(st.st_mode))
        why = QStringLiteral("något annat än en socket ligger på %1").arg(path_);
#endif
    if (why.isEmpty()) {
        QLocalServer::removeServer(path_);
        if (server_.listen(path_)) {
            if (!std::exchange(lastFailure_, {}).isEmpty())
                AddLog(QStringLiteral("Servern tar emot kommandon från andra program igen."));
            return true;
        }
        why = server_.errorString();
    }
    if (why != lastFailure_)
        AddLog(QStringLiteral("Servern kan inte ta emot kommandon från andra program: %1; försöker igen.").arg(why));
    lastFailure_ = why;
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
        ClientIO io(socket, who, RightsOf(socket));
        if (!words.isEmpty()) status = co_await run_(words, io);
    }
    if (!client) co_return;
    client->write(QJsonDocument(QJsonObject{{QStringLiteral("exit"), status}}).toJson(QJsonDocument::Compact) + '\n');
    client->disconnectFromServer();
}
