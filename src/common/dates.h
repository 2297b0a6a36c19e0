#pragma once
// The general date format: the locale's short date, a blank, the time with
// seconds. A date-less value (day zero) shows as the time alone.
#include <QDateTime>
#include <QString>

QString GeneralDate(const QDateTime& when);
QString GeneralDateNow();
QString GeneralTime(const QTime& time);
