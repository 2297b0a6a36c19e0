#include "link/arrows.h"

namespace {
// A row of 29 symbols separated by blanks, with mark at every fifth place from start.
QString Row(QChar fill, QChar mark, int start) {
    QString s;
    for (int i = 0; i < 29; ++i) {
        if (i) s += QLatin1Char(' ');
        s += (i >= start && (i - start) % 5 == 0) ? mark : fill;
    }
    return s;
}
}  // namespace

QStringList RecArrows() {
    // Every "<" moves one symbol (two characters) left from frame to frame.
    return {Row(QLatin1Char('-'), QLatin1Char('<'), 4), Row(QLatin1Char('-'), QLatin1Char('<'), 3),
            Row(QLatin1Char('-'), QLatin1Char('<'), 2), Row(QLatin1Char('-'), QLatin1Char('<'), 1),
            Row(QLatin1Char('-'), QLatin1Char('<'), 0)};
}

QStringList SendArrows() {
    return {Row(QLatin1Char('-'), QLatin1Char('>'), 0), Row(QLatin1Char('-'), QLatin1Char('>'), 1),
            Row(QLatin1Char('-'), QLatin1Char('>'), 2), Row(QLatin1Char('-'), QLatin1Char('>'), 3),
            Row(QLatin1Char('-'), QLatin1Char('>'), 4)};
}

QStringList DeleteArrows() {
    // Em dashes, en dashes, hyphens, middle dots, then nothing: the line fades out.
    return {Row(QChar(0x2014), QChar(0x2014), 0), Row(QChar(0x2013), QChar(0x2013), 0),
            Row(QLatin1Char('-'), QLatin1Char('-'), 0), Row(QChar(0x00B7), QChar(0x00B7), 0), QString()};
}
