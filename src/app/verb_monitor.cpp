// monitor: the running server's decoded traffic rows on standard output,
// read from its event stream, until the server stops or SIGINT.
#include "app/verb_session.h"
#include "common/apperror.h"
#include "common/errorreport.h"
#include "config/generalsettings.h"
#include "link/hostfilter.h"
#include "server/shopserver.h"

#include <QCoreApplication>
#include <QCoro/QCoroSignal>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>

QCoro::Task<int> RunMonitor(VerbOptions options) {
    GeneralSettings g;
    if (!ReadVerbSettings(&g)) co_return VerbFailed;
    if (g.WebPort == 0) {
        VerbError(QStringLiteral("monitor läser serverns trafik genom webbsidan: sätt WebPort i Fenmo32.INI."));
        co_return VerbUsage;
    }
    if (!RunningServer()) {
        VerbError(QStringLiteral("ingen server kör för programmappen."));
        co_return VerbIncomplete;
    }
    const QString only = options.args.value(0);
    QNetworkAccessManager net;
    // The page's own address; an IPv6 one goes in brackets ("http://[::1]:8080/"), and
    // one that means every interface is reached on loopback.
    QHostAddress address;
    QString host = g.WebAddress.trimmed();
    if (ParseListenAddress(host, &address) && !address.isNull()) {
        if (address == QHostAddress(QHostAddress::AnyIPv4)) address = QHostAddress(QHostAddress::LocalHost);
        if (address == QHostAddress(QHostAddress::AnyIPv6)) address = QHostAddress(QHostAddress::LocalHostIPv6);
        host = address.toString();
    }
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host);
    url.setPort(g.WebPort);
    url.setPath(QStringLiteral("/api/events"));
    QNetworkRequest request(url);
    QNetworkReply* reply = net.get(request);
    QByteArray buffer;
    QObject::connect(reply, &QNetworkReply::readyRead, [&] {
        buffer += reply->readAll();
        qsizetype end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
            const QByteArray event = buffer.left(end);
            buffer.remove(0, end + 2);
            if (!event.startsWith("event: traffic\n")) continue;
            const QJsonObject o = QJsonDocument::fromJson(event.mid(event.indexOf("data: ") + 6)).object();
            const QString machine = o.value(QStringLiteral("machine")).toString();
            if (!only.isEmpty() && machine != only) continue;
            const QJsonObject r = o.value(QStringLiteral("row")).toObject();
            auto s = [&](const char* key) { return r.value(QLatin1String(key)).toVariant().toString(); };
            const QString sums = r.contains(QStringLiteral("checksumReceived")) || r.contains(QStringLiteral("checksumComputed"))
                                     ? s("checksumReceived") + QLatin1Char('/') + s("checksumComputed")
                                     : QString();
            VerbOutFields({s("time"), machine, s("direction"), s("link"), s("type") + s("command"), s("selector"), s("name"),
                           s("status") + (r.contains(QStringLiteral("statusText")) ? QLatin1Char(' ') + s("statusText") : QString()),
                           s("size"), sums, s("first")});
        }
    });
    // Watched until the server ends the stream; the verb waits in main's loop.
    if (!reply->isFinished()) co_await qCoro(reply, &QNetworkReply::finished);
    const bool failed = reply->error() != QNetworkReply::NoError && reply->error() != QNetworkReply::RemoteHostClosedError;
    if (failed) VerbError(QStringLiteral("webbsidan svarar inte: ") + reply->errorString());
    co_return failed ? VerbFailed : VerbOk;
}
