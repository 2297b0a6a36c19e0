#include "common/convert.h"
#include "common/apperror.h"
#include <cmath>
#include <limits>

qint64 RoundHalfEven(double value) {
    return static_cast<qint64>(std::nearbyint(value));  // default rounding mode is to-nearest-even
}

namespace {

// Parses the numeric forms the original platform accepts in text; false when
// the text is not a number at all.
bool ParseNumber(const QString& raw, double& out) {
    const QString t = raw.trimmed();
    if (t.isEmpty()) return false;
    if (t.startsWith(QLatin1String("&H"), Qt::CaseInsensitive) ||
        t.startsWith(QLatin1String("&O"), Qt::CaseInsensitive)) {
        bool ok = false;
        const int base = t.at(1).toUpper() == QLatin1Char('H') ? 16 : 8;
        const qlonglong v = t.mid(2).toLongLong(&ok, base);
        if (!ok) return false;
        out = static_cast<double>(v);
        return true;
    }
    // Strict grammar: sign, digits with an optional fraction, optional exponent.
    int i = 0;
    const int n = t.size();
    if (i < n && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-'))) ++i;
    int digits = 0;
    while (i < n && t[i].isDigit()) { ++i; ++digits; }
    if (i < n && t[i] == QLatin1Char('.')) {
        ++i;
        while (i < n && t[i].isDigit()) { ++i; ++digits; }
    }
    if (digits == 0) return false;
    if (i < n && (t[i] == QLatin1Char('e') || t[i] == QLatin1Char('E'))) {
        ++i;
        if (i < n && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-'))) ++i;
        int exp = 0;
        while (i < n && t[i].isDigit()) { ++i; ++exp; }
        if (exp == 0) return false;
    }
    if (i != n) return false;
    bool ok = false;
    out = t.toDouble(&ok);
    return ok || std::isinf(out);
}

qint64 ToWhole(const QString& text, qint64 min, qint64 max) {
    double v = 0;
    if (!ParseNumber(text, v)) Raise(Err::TypeMismatch);
    if (!std::isfinite(v) || v < static_cast<double>(min) - 0.5 || v > static_cast<double>(max) + 0.5)
        Raise(Err::Overflow);
    const qint64 r = RoundHalfEven(v);
    if (r < min || r > max) Raise(Err::Overflow);
    return r;
}

}  // namespace

qint16 ToInt16(const QString& text) {
    return static_cast<qint16>(ToWhole(text, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max()));
}

quint8 ToByte(const QString& text) { return static_cast<quint8>(ToWhole(text, 0, 255)); }

qint32 ToInt32(const QString& text) {
    return static_cast<qint32>(ToWhole(text, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max()));
}

bool IsNumeric(const QString& text) {
    double v = 0;
    return ParseNumber(text, v);
}

bool ToBool(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) return false;
    double v = 0;
    if (!ParseNumber(t, v)) Raise(Err::TypeMismatch);
    return v != 0;
}

QString BoolText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }
