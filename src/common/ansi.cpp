#include "common/ansi.h"
#include <QStringDecoder>

namespace {
// Windows-1252 0x80..0x9F; 0 marks the five unassigned codes (kept as C1).
constexpr char16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

QString FromAnsi(const QByteArray& bytes) {
    QString out(bytes.size(), Qt::Uninitialized);
    QChar* d = out.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 && b < 0xA0 && kHigh[b - 0x80]) *d++ = QChar(kHigh[b - 0x80]);
        else *d++ = QChar(b);
    }
    return out;
}

QByteArray ToAnsi(const QString& text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    char* d = out.data();
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        char b = '?';
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            b = static_cast<char>(u);
        } else if (u >= 0x80 && u < 0xA0) {
            b = kHigh[u - 0x80] ? '?' : static_cast<char>(u);
        } else {
            for (int i = 0; i < 32; ++i)
                if (kHigh[i] == u) { b = static_cast<char>(0x80 + i); break; }
        }
        *d++ = b;
    }
    return out;
}

bool IsValidUtf8(const QByteArray& bytes) {
    QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString s = dec(bytes);
    return !dec.hasError();
}

QString FromLogText(const QByteArray& bytes) { return IsValidUtf8(bytes) ? QString::fromUtf8(bytes) : FromAnsi(bytes); }
