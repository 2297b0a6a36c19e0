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

HostFilter::HostFilter(const QString& allowedHosts, QStringList* bad) {
    for (const QString& part : allowedHosts.split(QLatin1Char(','))) {
        const QString entry = part.trimmed();
        if (entry.isEmpty()) continue;
        open_ = false;
        // Without a prefix an entry is one host (parseSubnet would read
        // "10.0.0.0" as all of 10/8).
        QPair<QHostAddress, int> range;
        if (entry.contains(QLatin1Char('/'))) {
            range = QHostAddress::parseSubnet(entry);
        } else {
            const QHostAddress single(entry);
            if (!single.isNull()) range = {single, single.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
        }
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

bool ParseListenAddress(const QString& text, QHostAddress* address) {
    const QString t = text.trimmed();
    if (t.isEmpty()) {
        *address = QHostAddress(QHostAddress::Any);
        return true;
    }
    const QHostAddress parsed(t);
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
