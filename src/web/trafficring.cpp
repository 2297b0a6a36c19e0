#include "web/trafficring.h"
#include "common/code2error.h"
#include "link/frames.h"

namespace {
QString Field(const QByteArray& bytes, int from, int width) {
    return QString::fromLatin1(TrimBlanks(bytes.mid(from, width)));
}

// Control characters shown as the operator knows them, so a row stays one line.
QString Printable(const QByteArray& bytes) {
    QString out;
    for (const char c : bytes) {
        if (c == '\r') out += QStringLiteral("\\r");
        else if (c == '\n') out += QStringLiteral("\\n");
        else if (uchar(c) < 0x20) out += QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
        else out += QChar(uchar(c));
    }
    return out;
}
}  // namespace

QJsonObject DecodeTraffic(const TrafficRow& row) {
    const QByteArray& b = row.bytes;
    QJsonObject o{{QStringLiteral("id"), double(row.id)},
                  {QStringLiteral("time"), row.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))},
                  {QStringLiteral("direction"), row.in ? QStringLiteral("in") : QStringLiteral("ut")},
                  {QStringLiteral("link"), row.link},
                  {QStringLiteral("size"), double(row.size)},
                  {QStringLiteral("first"), Printable(b.left(48))},
                  {QStringLiteral("message"), QString::fromLatin1(b)},
                  {QStringLiteral("whole"), b.size() == row.size}};
    // A protocol-2 header: "%", type, command, selector, name, two blanks, status.
    const bool checksummed = b.size() >= 19 && b.startsWith('%') && (b[1] == 'C' || b[1] == 'R');
    if (checksummed) {
        o.insert(QStringLiteral("type"), Field(b, 1, 1));
        o.insert(QStringLiteral("command"), Field(b, 2, 3));
        o.insert(QStringLiteral("selector"), Field(b, 5, 4));
        o.insert(QStringLiteral("name"), Field(b, 9, 6));
        const QString status = Field(b, 17, 2);
        o.insert(QStringLiteral("status"), status);
        if (!status.isEmpty() && status != QLatin1String("00"))
            o.insert(QStringLiteral("statusText"), Code2Error(status));
    } else if (b.size() >= 2 && b.startsWith('%')) {
        // Protocol 1: the letter at 2 (short form) or at 10 (colon form).
        const bool colon = b[1] == ':';
        o.insert(QStringLiteral("command"), colon ? Field(b, 9, 1) : Field(b, 1, 1));
        o.insert(QStringLiteral("name"), colon ? Field(b, 2, 6) : Field(b, 3, 8));
    }
    QByteArray received = row.received, computed = row.computed;
    if (received.isEmpty() && checksummed && b.size() == row.size && row.in) ChecksumMatches(b, &received, &computed);
    if (!received.isEmpty()) o.insert(QStringLiteral("checksumReceived"), QString::fromLatin1(received));
    if (!computed.isEmpty()) o.insert(QStringLiteral("checksumComputed"), QString::fromLatin1(computed));
    return o;
}

const TrafficRow& TrafficRing::add(TrafficRow row) {
    row.id = next_++;
    if (row.bytes.size() > kTrafficBytes) row.bytes.truncate(kTrafficBytes);
    rows_.push_back(std::move(row));
    while (int(rows_.size()) > capacity_) rows_.pop_front();
    return rows_.back();
}
