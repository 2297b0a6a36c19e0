#include "web/webkeys.h"
#include "common/log.h"

namespace {
bool LongEnough(const QString& token, const QString& whose) {
    if (token.size() >= kMinTokenLength) return true;
    AddLog(QStringLiteral("Webben: %1 är kortare än %2 tecken och gäller inte.").arg(whose).arg(kMinTokenLength));
    return false;
}
}  // namespace

HttpKeys WebKeys(const GeneralSettings& g) {
    HttpKeys keys;
    const QString shared = g.WebToken.trimmed();
    if (!shared.isEmpty() && LongEnough(shared, QStringLiteral("WebToken"))) keys.append({shared.toUtf8(), {}});
    for (const QString& entry : g.WebTokens.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const qsizetype colon = entry.indexOf(QLatin1Char(':'));
        const QString name = entry.left(colon).trimmed(), token = entry.mid(colon + 1).trimmed();
        if (colon <= 0 || name.isEmpty()) {
            AddLog(QStringLiteral("Webben: en post i WebTokens har inget namn (namn:nyckel) och gäller inte."));
            continue;
        }
        if (LongEnough(token, QStringLiteral("Nyckeln för %1 i WebTokens").arg(name))) keys.append({token.toUtf8(), name});
    }
    if (keys.isEmpty() && !(shared.isEmpty() && g.WebTokens.trimmed().isEmpty()))
        AddLog(QStringLiteral("Webben: ingen nyckel gäller; webbsidan kan bara läsas."));
    return keys;
}

QString WebCredit(const QString& name, const QString& address) {
    return name.isEmpty() ? QStringLiteral("webb ") + address : QStringLiteral("webb %1 (%2)").arg(name, address);
}
