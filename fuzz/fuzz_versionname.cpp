// The version store's file names. Any name either is no version or reads
// back as the name the store would write with the same fields; any text as
// an origin gives a name that reads back, without a path separator.
#include "library/history.h"
#include <QUrl>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));

    HistoryVersion v;
    if (ParseVersionName(text, &v)) {
        if (v.id <= 0 || v.size < 0 || !v.date.isValid()) abort();
        HistoryVersion again;
        if (!ParseVersionName(VersionFileName(v.id, v.date, v.size, v.origin), &again)) abort();
        if (again.id != v.id || again.size != v.size || again.date != v.date) abort();
        // An origin the name has room for comes back whole.
        if (QUrl::toPercentEncoding(v.origin).size() <= 120 && again.origin != v.origin) abort();
    }

    const QDateTime date(QDate(2026, 12, 6), QTime(14, 33, 10, 5));
    const QString name = VersionFileName(7, date, 1234, text);
    HistoryVersion w;
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || !ParseVersionName(name, &w)) abort();
    if (w.id != 7 || w.size != 1234 || w.date != date || !text.startsWith(w.origin)) abort();
    return 0;
}
