#pragma once
// The shop's figures for the dashboards it already runs, in the Prometheus
// text format.
#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QString>

class Metrics {
public:
    void transfer(const QString& machine, bool in, bool ok, qint64 size);
    // Web requests turned away: reason is their HTTP status.
    void refused(int status, qint64 n = 1) { refused_[status] += n; }
    // Connections to the web port closed at the accept (not in WebAllowedHosts).
    void connectionRefused(qint64 n) { connectionsRefused_ += n; }
    // state: the shop server's published state (for the links).
    QByteArray text(const QJsonObject& state) const;

private:
    struct Counts {
        qint64 transfers[2][2] = {{0, 0}, {0, 0}};  // [in][ok]
        qint64 bytes[2] = {0, 0};
        QDateTime last;
    };
    QMap<QString, Counts> machines_;
    QMap<int, qint64> refused_;
    qint64 connectionsRefused_ = 0;
};
