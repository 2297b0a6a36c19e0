#include "common/dates.h"

#include <limits>

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

QString GeneralDateNow() {
    // One text a second, made once: local time asks the time zone file at
    // every call, and every log line of every machine is stamped here.
    thread_local qint64 second = std::numeric_limits<qint64>::min();
    thread_local QString text;
    thread_local bool midnight = false;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    if (ms / 1000 != second) {
        second = ms / 1000;
        text = GeneralDate(QDateTime::fromMSecsSinceEpoch(second * 1000));
        midnight = !text.contains(QLatin1Char(' '));
    }
    // Only the very start of midnight shows as a date alone.
    if (midnight) return GeneralDate(QDateTime::fromMSecsSinceEpoch(ms));
    return text;
}
