#pragma once
// The last messages in and out of each machine, decoded for the web page
// and `monitor`: a bounded ring per machine, so a server that runs for
// months holds no more than TrafficRows rows of each.
#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <deque>

struct TrafficRow {
    qint64 id = 0;
    QDateTime time;
    bool in = false;
    QString link;          // "seriell" or the peer's address
    QByteArray bytes;      // the first kTrafficBytes of the message
    qint64 size = 0;       // of the whole message
    QByteArray received, computed;  // checksums; empty when not at hand
};

inline constexpr qsizetype kTrafficBytes = 1024;

// The row as the page and the API show it: the header decoded (type,
// command, selector, name, status with its errors.ini text), both checksums
// and the message's first bytes as text.
QJsonObject DecodeTraffic(const TrafficRow& row);

class TrafficRing {
public:
    explicit TrafficRing(int capacity = 500) : capacity_(capacity > 0 ? capacity : 1) {}
    const TrafficRow& add(TrafficRow row);
    // Oldest first.
    const std::deque<TrafficRow>& rows() const { return rows_; }

private:
    int capacity_;
    qint64 next_ = 1;
    std::deque<TrafficRow> rows_;
};
