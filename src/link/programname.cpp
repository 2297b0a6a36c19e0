#include "link/programname.h"
#include "common/ansi.h"
#include "common/paths.h"
#include "config/machines.h"
#include "library/history.h"

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

namespace {
bool IsDeviceName(const QString& name) {
    // Windows takes the part before the first dot, blanks after it dropped.
    QString base = name.section(QLatin1Char('.'), 0, 0);
    while (base.endsWith(QLatin1Char(' '))) base.chop(1);
    base = base.toUpper();
    for (const char* device : {"CON", "PRN", "AUX", "NUL"})
        if (base == QLatin1String(device)) return true;
    if (base.size() != 4 || !(base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))))
        return false;
    const QChar n = base.at(3);
    return (n >= QLatin1Char('1') && n <= QLatin1Char('9')) || n == QChar(0x00B9) || n == QChar(0x00B2) ||
           n == QChar(0x00B3);
}
}  // namespace

QString MachineNameProblem(const QString& name) {
    const QString problem = ProgramNameProblem(name);
    if (!problem.isEmpty()) return problem;
    for (const QChar c : name)
        if (QStringView(u"*?\"<>|").contains(c)) return QStringLiteral("otillåtet tecken ('%1') i namnet").arg(c);
    if (name.count(QLatin1Char('.')) == name.size()) return QStringLiteral("namnet består bara av punkter");
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return QStringLiteral("punkt eller blanksteg sist i namnet");
    if (IsDeviceName(name)) return QStringLiteral("reserverat enhetsnamn");
    // A receive folder may be the program folder, where a file of that name
    // would stand in the history's place.
    if (name.compare(QLatin1String(kHistoryFolderName), Qt::CaseInsensitive) == 0)
        return QStringLiteral("reserverat namn (programmets historik)");
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

QString MissingExtensionText(const QString& machineName) {
    return QStringLiteral("Maskinen \"%1\" har ingen \"Filändelse för program\" (Inställningar, fliken Avancerat). "
                          "Ange den innan program sänds.")
        .arg(machineName);
}
