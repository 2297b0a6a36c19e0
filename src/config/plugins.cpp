#include "config/plugins.h"

#include "common/home.h"
#include "common/ini.h"
#include "common/paths.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

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

QString PluginFile(const PluginEntry& plugin, const PlaceholderValues& values) {
    return ResolveCase(ExpandPlaceholders(plugin.Path, values));
}

QStringList PluginArguments(const QString& param, const PlaceholderValues& values) {
    QStringList arguments = QProcess::splitCommand(param);
    for (QString& a : arguments) a = ExpandPlaceholders(a, values);
    return arguments;
}

PluginStart PluginLaunch(const QString& file, const QStringList& arguments) {
    PluginStart start;
    start.arguments = arguments;
    const QFileInfo fi(file);
    QByteArray head;
    if (fi.isFile()) {
        QFile f(file);
        if (f.open(QIODevice::ReadOnly)) head = f.read(512);
    }
    if (head.startsWith("#!")) {
        // As the system reads the line: the interpreter, then at most one
        // argument made of the rest.
        const QString line = QString::fromLocal8Bit(head.mid(2, head.indexOf('\n') - 2)).trimmed();
        const qsizetype gap = line.indexOf(QRegularExpression(QStringLiteral("\\s")));
        start.program = gap < 0 ? line : line.left(gap);
        QStringList prefix;
        if (gap >= 0) prefix << line.mid(gap).trimmed();
        start.arguments = prefix + QStringList{file} + start.arguments;
    } else if (fi.isFile() && fi.isExecutable()) {
        start.program = file;
    } else {
        start.document = true;
    }
    return start;
}
