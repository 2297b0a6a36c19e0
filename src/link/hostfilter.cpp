#include "link/hostfilter.h"
#include <QTcpSocket>
#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
using NativeSocket = SOCKET;
#else
#include <sys/socket.h>
#include <unistd.h>
using NativeSocket = int;
#endif

namespace {

// Four decimal octets and nothing else: "010" or "10.1" would be read by
// other tools as octal or as a short form and mean another host.
bool StrictIPv4(QStringView text) {
    const QList<QStringView> octets = text.split(u'.');
    if (octets.size() != 4) return false;
    for (const QStringView o : octets) {
        if (o.isEmpty() || o.size() > 3 || (o.size() > 1 && o.front() == u'0')) return false;
        for (const QChar c : o)
            if (c < u'0' || c > u'9') return false;
        if (o.toInt() > 255) return false;
    }
    return true;
}

// An address as the settings write it; null when it is not one.
QHostAddress StrictAddress(QStringView text) {
    if (text.contains(u':')) {
        const QHostAddress a(text.toString());
        return a.protocol() == QAbstractSocket::IPv6Protocol ? a : QHostAddress();
    }
    return StrictIPv4(text) ? QHostAddress(text.toString()) : QHostAddress();
}

// "address/prefix" with a decimal prefix within the address's width.
QPair<QHostAddress, int> StrictRange(QStringView entry) {
    const qsizetype slash = entry.indexOf(u'/');
    const QHostAddress address = StrictAddress(slash < 0 ? entry : entry.left(slash));
    if (address.isNull()) return {};
    const int width = address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
    if (slash < 0) return {address, width};
    const QStringView prefix = entry.mid(slash + 1);
    if (prefix.isEmpty() || prefix.size() > 3 || (prefix.size() > 1 && prefix.front() == u'0')) return {};
    for (const QChar c : prefix)
        if (c < u'0' || c > u'9') return {};
    const int bits = prefix.toInt();
    if (bits > width) return {};
    // parseSubnet clears the host bits: "10.1.2.3/16" is 10.1.0.0/16.
    return QHostAddress::parseSubnet(address.toString() + QLatin1Char('/') + QString::number(bits));
}

}  // namespace

HostFilter::HostFilter(const QString& allowedHosts, QStringList* bad) {
    // A setting that holds anything at all is a list: one of only
    // separators or bad entries lets no one in.
    open_ = allowedHosts.trimmed().isEmpty();
    for (const QString& part : allowedHosts.split(QLatin1Char(','))) {
        const QString entry = part.trimmed();
        if (entry.isEmpty()) continue;
        QPair<QHostAddress, int> range = StrictRange(entry);
        if (range.first.isNull()) {
            if (bad) *bad << entry;
            continue;
        }
        // A mapped range given as IPv6 still means IPv4 peers.
        const QHostAddress plain = Unmapped(range.first);
        if (plain.protocol() == QAbstractSocket::IPv4Protocol && range.first != plain)
            range = {plain, qMax(0, range.second - 96)};
        ranges_ << range;
    }
}

bool HostFilter::allows(const QHostAddress& peer) const {
    if (open_) return true;
    const QHostAddress plain = Unmapped(peer);
    for (const auto& range : ranges_)
        if (plain.isInSubnet(range)) return true;
    return false;
}

QHostAddress Unmapped(const QHostAddress& address) {
    if (address.protocol() != QAbstractSocket::IPv6Protocol) return address;
    const Q_IPV6ADDR a = address.toIPv6Address();
    for (int i = 0; i < 10; ++i)
        if (a[i] != 0) return address;
    if (a[10] != 0xff || a[11] != 0xff) return address;
    return QHostAddress(quint32(a[12]) << 24 | quint32(a[13]) << 16 | quint32(a[14]) << 8 | quint32(a[15]));
}

bool ParseMachineAddress(const QString& text, QHostAddress* address, QString* name) {
    const QString t = text.trimmed();
    *address = QHostAddress();
    name->clear();
    if (t.isEmpty()) return false;
    *address = StrictAddress(t);
    // An IPv6 address with a scope ("fe80::1%eth0") never equals a peer exactly.
    if (!address->isNull()) return address->scopeId().isEmpty();
    if (t.size() > 253 || t.contains(u':')) return false;
    const QStringList labels = t.split(QLatin1Char('.'));
    for (const QString& l : labels) {
        if (l.isEmpty() || l.size() > 63 || l.startsWith(u'-') || l.endsWith(u'-')) return false;
        for (const QChar c : l)
            if (!(c.isDigit() && c.unicode() < 128) && !(c.unicode() < 128 && c.isLetter()) && c != u'-') return false;
    }
    const QChar first = labels.last().front();
    if (!(first.unicode() < 128 && first.isLetter())) return false;
    *name = t;
    return true;
}

bool ParseListenAddress(const QString& text, QHostAddress* address) {
    const QString t = text.trimmed();
    if (t.isEmpty()) {
        *address = QHostAddress(QHostAddress::Any);
        return true;
    }
    const QHostAddress parsed = StrictAddress(t);
    if (parsed.isNull()) return false;
    *address = parsed;
    return true;
}

QHostAddress PeerOfDescriptor(qintptr descriptor) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(static_cast<NativeSocket>(descriptor), reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return {};
    return QHostAddress(reinterpret_cast<const sockaddr*>(&peer));
}

void CloseDescriptor(qintptr descriptor) {
    QTcpSocket socket;
    if (socket.setSocketDescriptor(descriptor)) {
        socket.abort();
        return;
    }
#ifdef Q_OS_WIN
    ::closesocket(static_cast<NativeSocket>(descriptor));
#else
    ::close(static_cast<NativeSocket>(descriptor));
#endif
}
