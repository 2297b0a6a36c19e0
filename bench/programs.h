#pragma once
// A folder of realistic programs for the library benchmarks: a file comment,
// a program comment and twenty lines each.
#include <QByteArray>
#include <QFile>
#include <QString>

namespace bench {

// O00000.NC ... with detail appended to each program comment.
inline void WritePrograms(const QString& folder, int count, const QByteArray& detail = {}) {
    for (int i = 0; i < count; ++i) {
        QFile f(folder + QStringLiteral("/O%1.NC").arg(i, 5, 10, QLatin1Char('0')));
        f.open(QIODevice::WriteOnly);
        QByteArray text = "(KUND " + QByteArray::number(i % 97) + ")%O" + QByteArray::number(i) + "(DETALJ " +
                          QByteArray::number(i) + detail + ")\r\n";
        for (int line = 0; line < 20; ++line) text += "N" + QByteArray::number(line * 10) + " G01 X12.5 Y4.0 F200\r\n";
        f.write(text + "%");
    }
}

}  // namespace bench
