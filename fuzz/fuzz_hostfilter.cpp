// AllowedHosts on any text. Input: the setting, then a NUL and a peer's
// address. Blanks only let anyone in; anything else lets in exactly what
// its good entries name, every entry is either good or reported bad, and a
// good IPv4 address is written the one decimal way.
#include "link/hostfilter.h"
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QList<QByteArray> parts = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0');
    const QString setting = QString::fromUtf8(parts[0]);
    QStringList bad;
    const HostFilter filter(setting, &bad);
    if (filter.open() != setting.trimmed().isEmpty()) abort();

    qsizetype entries = 0;
    for (const QString& part : setting.split(QLatin1Char(','))) {
        const QString e = part.trimmed();
        if (e.isEmpty()) continue;
        ++entries;
        const bool plainIPv4 = !bad.contains(e) && !e.contains(QLatin1Char(':')) && !e.contains(QLatin1Char('/'));
        if (plainIPv4 && QHostAddress(e).toString() != e) abort();
    }
    if (bad.size() + filter.ranges().size() != entries) abort();
    for (const auto& range : filter.ranges())
        if (range.first.isNull() || !filter.allows(range.first)) abort();

    if (parts.size() > 1) {
        const QHostAddress peer(QString::fromUtf8(parts[1]));
        bool named = false;
        for (const auto& range : filter.ranges()) named = named || Unmapped(peer).isInSubnet(range);
        if (filter.allows(peer) != (filter.open() || named)) abort();
        QHostAddress listen;
        ParseListenAddress(QString::fromUtf8(parts[1]), &listen);
    }
    return 0;
}
