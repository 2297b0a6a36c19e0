#pragma once
// The program's 8-bit texts (INI files, logs) are Windows-1252.
#include <QByteArray>
#include <QString>

QString FromAnsi(const QByteArray& bytes);
// Characters outside Windows-1252 become "?".
QByteArray ToAnsi(const QString& text);
// True when bytes are valid UTF-8 (plain ASCII included).
bool IsValidUtf8(const QByteArray& bytes);
