#include "link/programname.h"
#include "common/paths.h"

QString ProgramNameProblem(const QString& name) {
    const QString t = name.trimmed();
    if (t.isEmpty()) return QStringLiteral("tomt namn");
    if (t.contains(QLatin1Char('/')) || t.contains(QLatin1Char('\\')) || t.contains(QLatin1Char(':')))
        return QStringLiteral("sökvägstecken i namnet");
    if (t.contains(QLatin1String(".."))) return QStringLiteral("\"..\" i namnet");
    for (const QChar c : t)
        if (c.unicode() < 32 || c.unicode() == 127) return QStringLiteral("styrtecken i namnet");
    return {};
}

QString ProgramPath(const QString& folder, const QString& name, const QString& extension) {
    const QString file = extension.isEmpty() ? name : name + QLatin1Char('.') + extension;
    return ResolveCase(JoinPath(folder, file));
}
