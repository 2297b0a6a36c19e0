#pragma once
// The operator's text for a network failure: Swedish for the failures a shop
// meets, Qt's own words for the rare rest.
#include <QAbstractSocket>
#include <QString>

QString SocketErrorText(QAbstractSocket::SocketError error, const QString& qtText);
