#include "link/serialport.h"
#include <QStringList>

bool ParseSerialSettings(const QString& text, SerialSettings& out) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4) return false;
    bool ok = false;
    SerialSettings s;
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0) return false;
    const QString p = parts[1].trimmed().toLower();
    if (p.size() != 1 || !QStringLiteral("neoms").contains(p)) return false;
    s.parity = p[0].toLatin1();
    s.dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || s.dataBits < 4 || s.dataBits > 8) return false;
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1")) s.stopBits = 1;
    else if (stop == QLatin1String("2")) s.stopBits = 2;
    else if (stop == QLatin1String("1.5")) { s.stopBits = 2; s.stopOneAndHalf = true; }
    else return false;
    out = s;
    return true;
}

double CharactersPerSecond(const SerialSettings& s) {
    const double bits = 1 + s.dataBits + (s.parity == 'n' ? 0 : 1) + (s.stopOneAndHalf ? 1.5 : s.stopBits);
    return s.baud / bits;
}

void SerialPort::noteFlow(QByteArrayView received) {
    constexpr char kDC1 = 0x11, kDC3 = 0x13;
    for (qsizetype i = received.size() - 1; i >= 0; --i) {
        const char c = received[i];
        if (c != kDC1 && c != kDC3) continue;
        if (xoff_.exchange(c == kDC3, std::memory_order_acq_rel) != (c == kDC3)) Q_EMIT flowChanged();
        return;
    }
}

void SerialPort::forgetHold() {
    if (xoff_.exchange(false, std::memory_order_acq_rel)) Q_EMIT flowChanged();
}
