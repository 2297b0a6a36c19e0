#include "link/programname.h"
#include "common/ansi.h"
#include "common/paths.h"
#include "config/machines.h"

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

QString ProgramNameRefusal(const QString& name, const MachineSettings& ms) {
    const QString problem = ProgramNameProblem(name);
    if (!problem.isEmpty()) return problem;
    if (FromAnsi(ToAnsi(name)) != name) return QStringLiteral("tecken som förbindelsen inte kan föra över");
    // The name fields of the request headers: 6 characters in protocol 2 and
    // in the colon form, 8 in the short form.
    const int field = ms.Typ == 2 && !ms.Conversion ? 8 : 6;
    if (name.size() > field) return QStringLiteral("längre än maskinens %1 tecken").arg(field);
    return {};
}
