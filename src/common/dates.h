#pragma once
// The general date format: the Swedish short date, a blank, the time with
// seconds ("2026-12-06 14:33:10"), whatever the system locale. A date-less
// value (day zero) shows as the time alone.
#include <QDateTime>
#include <QString>

QString GeneralDate(const QDateTime& when);
QString GeneralDateNow();
QString GeneralTime(const QTime& time);
