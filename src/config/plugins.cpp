#include "config/plugins.h"

#include "common/home.h"
#include "common/ini.h"
#include "common/paths.h"

QList<PluginEntry> ReadPlugins() {
    const QString file = ResolveCase(InProgramFolder(QStringLiteral("plugins.ini")));
    const QString folder = InProgramFolder(QStringLiteral("plugins")) + QLatin1Char('/');
    QList<PluginEntry> plugins;
    for (int n = 1; n <= 10; ++n) {
        const QString section = QStringLiteral("Plugin") + QString::number(n);
        PluginEntry e;
        e.Name = ReadIni(section, QStringLiteral("Name"), QString(), file);
        e.Path = folder + ReadIni(section, QStringLiteral("Path"), QString(), file);
        e.Param = ReadIni(section, QStringLiteral("Param"), QString(), file);
        if (e.Name.isEmpty()) break;
        plugins.append(e);
    }
    return plugins;
}

QString ExpandPlaceholders(const QString& text, const PlaceholderValues& v) {
    QString s = text;
    s.replace(QStringLiteral("#CD#"), v.treeFolder, Qt::CaseSensitive);
    s.replace(QStringLiteral("#MASK#"), v.machineName, Qt::CaseSensitive);
    s.replace(QStringLiteral("#RD#"), v.RootPath, Qt::CaseSensitive);
    s.replace(QStringLiteral("#DD#"), v.DocPath, Qt::CaseSensitive);
    s.replace(QStringLiteral("#SD#"), v.SendPath, Qt::CaseSensitive);
    s.replace(QStringLiteral("#MOD#"), v.Modell, Qt::CaseSensitive);
    s.replace(QStringLiteral("#EXT#"), v.Extension, Qt::CaseSensitive);
    return s;
}
