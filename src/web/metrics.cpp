#include "web/metrics.h"
#include <QJsonArray>

// Each line is put together piece by piece: a label value is the machine's
// name, which may hold "%1" or any other text, and must reach the scrape as it is.
namespace {
QByteArray Label(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

void Head(QByteArray& out, const char* name, const char* type, const char* help) {
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

// name{key="value",...} number
void Line(QByteArray& out, const char* name, std::initializer_list<std::pair<const char*, QByteArray>> labels,
          const QByteArray& value) {
    out += name;
    out += '{';
    bool first = true;
    for (const auto& [key, v] : labels) {
        if (!first) out += ',';
        first = false;
        out += QByteArray(key) + "=\"" + v + '"';
    }
    out += "} " + value + '\n';
}
}  // namespace

void Metrics::transfer(const QString& machine, bool in, bool ok, qint64 size) {
    Counts& c = machines_[machine];
    ++c.transfers[in][ok];
    if (ok) c.bytes[in] += size;
    c.last = QDateTime::currentDateTime();
}

QByteArray Metrics::text(const QJsonObject& state) const {
    QByteArray out;
    const char* dir[] = {"ut", "in"};
    Head(out, "fenmo32_transfers_total", "counter", "Programs moved, by machine, direction and result.");
    for (auto it = machines_.begin(); it != machines_.end(); ++it)
        for (int in = 0; in < 2; ++in)
            for (int ok = 0; ok < 2; ++ok)
                Line(out, "fenmo32_transfers_total",
                     {{"machine", Label(it.key())}, {"direction", dir[in]}, {"result", ok ? "klar" : "fel"}},
                     QByteArray::number(it->transfers[in][ok]));
    Head(out, "fenmo32_transfer_bytes_total", "counter", "Bytes of the programs moved.");
    for (auto it = machines_.begin(); it != machines_.end(); ++it)
        for (int in = 0; in < 2; ++in)
            Line(out, "fenmo32_transfer_bytes_total", {{"machine", Label(it.key())}, {"direction", dir[in]}},
                 QByteArray::number(it->bytes[in]));
    Head(out, "fenmo32_last_transfer_timestamp_seconds", "gauge", "When the machine's last transfer ended.");
    for (auto it = machines_.begin(); it != machines_.end(); ++it)
        Line(out, "fenmo32_last_transfer_timestamp_seconds", {{"machine", Label(it.key())}},
             QByteArray::number(it->last.toMSecsSinceEpoch() / 1000.0, 'f', 3));
    Head(out, "fenmo32_link_up", "gauge", "1 when the machine's port is open or its address is served.");
    for (const QJsonValue& v : state.value(QStringLiteral("machines")).toArray()) {
        const QString link = v[QStringLiteral("link")].toString();
        const bool up = link.startsWith(QStringLiteral("port öppen")) || link.startsWith(QLatin1String("lyssnar")) ||
                        link.startsWith(QLatin1String("ansluten"));
        Line(out, "fenmo32_link_up", {{"machine", Label(v[QStringLiteral("name")].toString())}}, up ? "1" : "0");
    }
    Head(out, "fenmo32_web_requests_refused_total", "counter", "Web requests turned away, by HTTP status.");
    for (const int status : {400, 401, 403, 404, 405, 413, 421, 431, 503})
        Line(out, "fenmo32_web_requests_refused_total", {{"status", QByteArray::number(status)}},
             QByteArray::number(refused_.value(status)));
    Head(out, "fenmo32_web_connections_refused_total", "counter",
         "Connections to the web port closed when accepted (not in WebAllowedHosts).");
    out += "fenmo32_web_connections_refused_total " + QByteArray::number(connectionsRefused_) + '\n';
    return out;
}
