#include "common/dates.h"
#include <QLocale>

namespace {
// The locale's short time format, with seconds added where it has none.
QString TimeFormatWithSeconds() {
    QString f = QLocale().timeFormat(QLocale::ShortFormat);
    if (!f.contains(QLatin1Char('s'))) {
        const int m = f.lastIndexOf(QLatin1String("mm"));
        if (m >= 0) f.insert(m + 2, QLatin1String(":ss"));
        else f += QLatin1String(":ss");
    }
    return f;
}
}  // namespace

QString GeneralTime(const QTime& time) { return QLocale().toString(time, TimeFormatWithSeconds()); }

QString GeneralDate(const QDateTime& when) {
    if (!when.isValid()) return GeneralTime(QTime(0, 0, 0));
    const QString date = QLocale().toString(when.date(), QLocale::ShortFormat);
    if (when.time() == QTime(0, 0, 0)) return date;  // a date at midnight shows without a time
    return date + QLatin1Char(' ') + GeneralTime(when.time());
}

QString GeneralDateNow() { return GeneralDate(QDateTime::currentDateTime()); }
