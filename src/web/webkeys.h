#pragma once
// Who may change things through the web port: the shared WebToken and the
// tokens of named persons (WebTokens=anna:TOKEN, bertil:TOKEN). A token too
// short to withstand guessing is not taken, and says so in the log; with
// none taken the web port is read-only.
#include "config/generalsettings.h"
#include <QByteArray>
#include <QList>
#include <QString>

struct HttpKey {
    QByteArray token;
    QString name;  // empty: the shared WebToken
};
using HttpKeys = QList<HttpKey>;

constexpr int kMinTokenLength = 16;

// The keys of g, each short or malformed one logged and left out.
HttpKeys WebKeys(const GeneralSettings& g);

// The job's "by" for a web request: "webb ADDRESS", or "webb NAME (ADDRESS)"
// when a person's own token came with it.
QString WebCredit(const QString& name, const QString& address);
