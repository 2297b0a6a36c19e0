#pragma once
// What the web tests share: raw connections to the web port on loopback
// (from a loopback address of their own), and a shop server with its web
// port in this process, asked through Qt's HTTP client.
#include "../link/stationfixture.h"
#include "server/shopserver.h"
#include "web/webserver.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A TCP connection to 127.0.0.1, from the address from when given, with a
// small receive buffer when asked (a client that reads slowly).
inline int Connect(quint16 port, const char* from = nullptr, int receiveBuffer = 0, bool wait = true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (receiveBuffer) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (from) {
        inet_pton(AF_INET, from, &a.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    a.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

inline void Send(int fd, const QByteArray& bytes) { ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL); }

// The shop of home's settings served, with its web port, in this process.
struct WebShop {
    ShopServer server;
    GeneralSettings general;
    std::unique_ptr<WebServer> web;
    QNetworkAccessManager net;
    explicit WebShop(std::function<SerialPort*()> ports = {}) {
        if (ports) server.setPortFactory(std::move(ports));
        ReadGeneralSettings(general);
        QString error;
        EXPECT_TRUE(server.start(general, {}, &error)) << error.toStdString();
        web = std::make_unique<WebServer>(server, general);
        EXPECT_TRUE(web->listen(&error)) << error.toStdString();
    }
    // GET path's JSON; its status in *status when asked.
    QJsonDocument get(const QString& path, int* status = nullptr) {
        QNetworkReply* reply = net.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(web->port()).arg(path))));
        EXPECT_TRUE(WaitUntil([&] { return reply->isFinished(); }, 30000));
        reply->deleteLater();
        if (status) *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return QJsonDocument::fromJson(reply->readAll());
    }
};
