#include "common/dates.h"

// Fixed Swedish forms rather than the system locale's: every text of the
// program is Swedish, and trash names built from a date must stay digits
// that sort by time (the C locale would give "6 Dec 2026").
namespace {
const QString kDate = QStringLiteral("yyyy-MM-dd");
const QString kTime = QStringLiteral("HH:mm:ss");
}  // namespace

QString GeneralTime(const QTime& time) { return time.toString(kTime); }

QString GeneralDate(const QDateTime& when) {
    if (!when.isValid()) return GeneralTime(QTime(0, 0, 0));
    const QString date = when.date().toString(kDate);
    if (when.time() == QTime(0, 0, 0)) return date;  // a date at midnight shows without a time
    return date + QLatin1Char(' ') + GeneralTime(when.time());
}

QString GeneralDateNow() { return GeneralDate(QDateTime::currentDateTime()); }
