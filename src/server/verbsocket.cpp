#include "server/verbsocket.h"

#include "common/log.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

namespace {
// A request line longer than this is no command line.
constexpr qint64 kMaxLine = 1024 * 1024;

QJsonObject ReadLine(QLocalSocket* socket) {
    return QJsonDocument::fromJson(socket->readLine(kMaxLine)).object();
}

class ClientIO : public VerbIO {
public:
    ClientIO(QLocalSocket* socket, bool interactive) : socket_(socket), interactive_(interactive) {}
    void out(const QString& text) override { Send({{QStringLiteral("out"), text}}); }
    void err(const QString& text) override { Send({{QStringLiteral("err"), text}}); }
    bool interactive() const override { return interactive_; }
    // The person at the client's terminal answers; the verb waits for the line.
    std::optional<QString> ask(const QString& prompt) override {
        if (!socket_) return std::nullopt;
        Send({{QStringLiteral("ask"), prompt}});
        while (socket_ && socket_->state() == QLocalSocket::ConnectedState && !socket_->canReadLine())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!socket_ || !socket_->canReadLine()) return std::nullopt;
        return ReadLine(socket_).value(QStringLiteral("answer")).toString();
    }

private:
    void Send(const QJsonObject& message) {
        if (socket_ && socket_->state() == QLocalSocket::ConnectedState)
            socket_->write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    }
    QPointer<QLocalSocket> socket_;
    bool interactive_;
};
}  // namespace

VerbSocket::VerbSocket(std::function<int(const QStringList&, VerbIO&)> run, QObject* parent)
    : QObject(parent), run_(std::move(run)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server_.nextPendingConnection()) {
            client->setParent(this);
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            // The words may come in pieces; the verb starts once its line is whole.
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->property("running").toBool()) return;
                if (!client->canReadLine()) {
                    if (client->bytesAvailable() > kMaxLine) client->abort();
                    return;
                }
                client->setProperty("running", true);
                // Run after this handler: the verb waits in event loops of its own.
                QTimer::singleShot(0, this, [this, client = QPointer<QLocalSocket>(client)] {
                    if (client) Serve(client);
                });
            });
        }
    });
}

bool VerbSocket::listen() {
    // Only this user's processes may ask the server to talk to its machines.
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = QStringLiteral("fenmo32-%1").arg(QCoreApplication::applicationPid());
    QLocalServer::removeServer(name);
    if (server_.listen(name)) return true;
    AddLog(QStringLiteral("Servern kan inte ta emot kommandon från andra program: ") + server_.errorString());
    return false;
}

void VerbSocket::Serve(QLocalSocket* socket) {
    const QPointer<QLocalSocket> client(socket);
    const QJsonObject request = ReadLine(socket);
    QStringList words;
    for (const QJsonValue& w : request.value(QStringLiteral("words")).toArray()) words << w.toString();
    ClientIO io(socket, request.value(QStringLiteral("interactive")).toBool());
    AddLog(QStringLiteral("Kommando från annat program: ") + words.join(QLatin1Char(' ')));
    const int status = words.isEmpty() ? 2 : run_(words, io);
    if (!client) return;
    client->write(QJsonDocument(QJsonObject{{QStringLiteral("exit"), status}}).toJson(QJsonDocument::Compact) + '\n');
    client->disconnectFromServer();
}
