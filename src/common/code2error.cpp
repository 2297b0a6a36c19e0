#include "common/code2error.h"
#include "common/home.h"
#include "common/ini.h"
#include "common/trace.h"

QString Code2Error(const QString& code) {
    TraceEnter(QStringLiteral("Code2Error()"));
    QString text = ReadIni(QStringLiteral("Errors"), QStringLiteral("e") + code, QStringLiteral("Okänt fel."),
                           SharedFile(QStringLiteral("errors.ini")));
    text.replace(QLatin1String("\\n"), QLatin1String("\r\n"));
    return text;
}
