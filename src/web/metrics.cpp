#include "web/metrics.h"
#include <QJsonArray>

namespace {
QString Label(QString value) {
    return value.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

void Head(QString& out, const char* name, const char* type, const char* help) {
    out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n").arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
}
}  // namespace

void Metrics::transfer(const QString& machine, bool in, bool ok, qint64 size) {
    Counts& c = machines_[machine];
    ++c.transfers[in][ok];
    if (ok) c.bytes[in] += size;
    c.last = QDateTime::currentDateTime();
}

QByteArray Metrics::text(const QJsonObject& state) const {
    QString out;
    const char* dir[] = {"ut", "in"};
    Head(out, "fenmo32_transfers_total", "counter", "Programs moved, by machine, direction and result.");
    for (auto it = machines_.begin(); it != machines_.end(); ++it)
        for (int in = 0; in < 2; ++in)
            for (int ok = 0; ok < 2; ++ok)
                out += QStringLiteral("fenmo32_transfers_total{machine=\"%1\",direction=\"%2\",result=\"%3\"} %4\n")
                           .arg(Label(it.key()), QLatin1String(dir[in]), ok ? QStringLiteral("klar") : QStringLiteral("fel"))
                           .arg(it->transfers[in][ok]);
    Head(out, "fenmo32_transfer_bytes_total", "counter", "Bytes of the programs moved.");
    for (auto it = machines_.begin(); it != machines_.end(); ++it)
        for (int in = 0; in < 2; ++in)
            out += QStringLiteral("fenmo32_transfer_bytes_total{machine=\"%1\",direction=\"%2\"} %3\n")
                       .arg(Label(it.key()), QLatin1String(dir[in]))
                       .arg(it->bytes[in]);
    Head(out, "fenmo32_last_transfer_timestamp_seconds", "gauge", "When the machine's last transfer ended.");
    for (auto it = machines_.begin(); it != machines_.end(); ++it)
        out += QStringLiteral("fenmo32_last_transfer_timestamp_seconds{machine=\"%1\"} %2\n")
                   .arg(Label(it.key()))
                   .arg(it->last.toMSecsSinceEpoch() / 1000.0, 0, 'f', 3);
    Head(out, "fenmo32_link_up", "gauge", "1 when the machine's port is open or its address is served.");
    for (const QJsonValue& v : state.value(QStringLiteral("machines")).toArray()) {
        const QString link = v[QStringLiteral("link")].toString();
        const bool up = link.startsWith(QStringLiteral("port öppen")) || link.startsWith(QLatin1String("lyssnar")) ||
                        link.startsWith(QLatin1String("ansluten"));
        out += QStringLiteral("fenmo32_link_up{machine=\"%1\"} %2\n").arg(Label(v[QStringLiteral("name")].toString())).arg(up ? 1 : 0);
    }
    Head(out, "fenmo32_web_requests_refused_total", "counter", "Web requests turned away, by HTTP status.");
    for (const int status : {400, 401, 403, 404, 413})
        out += QStringLiteral("fenmo32_web_requests_refused_total{status=\"%1\"} %2\n").arg(status).arg(refused_.value(status));
    return out.toUtf8();
}
