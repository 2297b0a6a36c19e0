#include "link/filelists.h"

#include "common/ansi.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "link/frames.h"

#include <algorithm>


QByteArray BuildProgramList(const QString& folder, const QString& pattern, ListWidth width) {
    const bool wide = width == ListWidth::Wide;
    const qsizetype entryWidth = static_cast<qsizetype>(width);
    const qsizetype nameWidth = entryWidth - 3;

    QByteArray list;
    for (const FoundFile& file : FindFiles(folder, pattern)) {
        if (file.isDir) continue;
        const qsizetype dot = file.name.indexOf(QLatin1Char('.'));
        const QByteArray name = ToAnsi(dot < 0 ? file.name : file.name.left(dot)).left(nameWidth);
        if (name.isEmpty()) continue;
        const QByteArray size = QByteArray::number(BlockCount(file.size)).left(3);

        QByteArray entry(entryWidth, ' ');
        std::copy(name.begin(), name.end(), entry.begin());
        if (wide)
            std::copy(size.begin(), size.end(), entry.begin() + nameWidth);
        else
            std::copy(size.begin(), size.end(), entry.end() - size.size());
        list += entry;
    }
    return list;
}

QString PcListPattern(const QString& extension) {
    return QStringLiteral("*.") + extension;
}

QList<RemoteEntry> ReadReceivedList(const QByteArray& message, int protocol) {
    QByteArray body;
    qsizetype entryWidth;
    if (protocol == 2) {
        const qsizetype lf = message.indexOf('\n');
        if (lf < 0) return {};
        // The checksum and "%" close the message, they are no entry: without
        // this an empty list would show a program named after the checksum.
        qsizetype end = message.size();
        if (message.endsWith('%')) end = std::max(lf + 1, end - 3);
        body = message.mid(lf + 1, end - lf - 1);
        entryWidth = static_cast<qsizetype>(ListWidth::Wide);
    } else {
        body = message.startsWith("%:D") ? StripColonHeader(message) : StripShortHeader(message);
        entryWidth = static_cast<qsizetype>(ListWidth::Narrow);
    }
    const qsizetype nameWidth = entryWidth - 3;

    QList<RemoteEntry> entries;
    for (qsizetype pos = 0; body.size() - pos >= 2; pos += entryWidth) {
        const char first = body.at(pos);
        if (first == '\r' || first == '\n') break;
        const QByteArray entry = body.mid(pos, entryWidth);
        entries.append({TrimBlanks(entry.left(nameWidth)), TrimBlanks(entry.mid(nameWidth, 3))});
    }
    return entries;
}
