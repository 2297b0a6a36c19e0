#include "web/logtail.h"
#include "common/ansi.h"
#include "common/home.h"
#include <QFile>
#include <QRegularExpression>

QString WithoutFolders(const QString& line) {
    static const QString kCommand = QStringLiteral("Kommando från annat program: ");
    const qsizetype at = line.indexOf(kCommand);
    if (at < 0) return line;
    // Each path's folders, up to its last "/": a path starts a word or
    // follows "=" (--to=/home/...), and may hold blanks, but a blank before
    // another "/" or "~" starts the next path.
    static const QRegularExpression kFolders(QStringLiteral("(?<=^|[\\s=])~?/(?:(?:[^/\\s]|\\s(?![~/]))*/)*"));
    const qsizetype from = at + kCommand.size();
    QString words = line.mid(from);
    words.replace(kFolders, QStringLiteral("…/"));
    return line.left(from) + words;
}

QJsonArray LogTail(int lines) {
    QFile f(InProgramFolder(QStringLiteral("fenmo32.log")));
    QJsonArray out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    const qint64 from = std::max<qint64>(0, f.size() - 64 * 1024);
    f.seek(from);
    QList<QByteArray> all = f.readAll().split('\n');
    if (from > 0 && !all.isEmpty()) all.removeFirst();  // cut in the middle
    for (qsizetype i = all.size() - 1; i >= 0 && out.size() < lines; --i) {
        const QByteArray line = all[i].trimmed();
        // UTF-8 now; an older program wrote Windows-1252.
        if (!line.isEmpty()) out.append(WithoutFolders(FromLogText(line)));
    }
    return out;
}
