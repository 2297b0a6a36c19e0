#pragma once
// One machine as the shop server serves it: its station and panel, how it
// is reached, and what the published state tells of it.
#include "server/serverpanel.h"
#include "server/shopserver.h"
#include "station/station.h"

#include <QDate>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <memory>

struct ShopServer::Served {
    MachineEntry entry;
    std::unique_ptr<ServerPanel> panel;
    std::unique_ptr<Station> station;
    bool isSerial = false;
    QList<QHostAddress> ips;  // a network machine's addresses; none: not served from the port
    QString portError;        // why a serial port is not open
    bool reloadPending = false;  // busy at the last SIGHUP: read once its job has ended
    struct {
        QDateTime at;
        QString command, name;
    } request;
    struct {
        QDateTime at;
        bool in = false;
        QString name;
        qint64 size = 0;
        bool ok = false;
    } transfer;
    QDate day;
    int received = 0, sent = 0, failed = 0;

    // today: the local date of the transfer (the time zone is asked once).
    void count(bool in, bool ok, const QDate& today) {
        if (day != today) {
            day = today;
            received = sent = failed = 0;
        }
        if (!ok) ++failed;
        else if (in) ++received;
        else ++sent;
    }
};
