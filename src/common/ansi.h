#pragma once
// The program's 8-bit INI files are Windows-1252 unless they are UTF-8.
#include <QByteArray>
#include <QString>

QString FromAnsi(const QByteArray& bytes);
// Characters outside Windows-1252 become "?".
QByteArray ToAnsi(const QString& text);
// True when bytes are valid UTF-8 (plain ASCII included).
bool IsValidUtf8(const QByteArray& bytes);
// A log line of this program or of an older one: UTF-8 when it is valid
// UTF-8, else Windows-1252.
QString FromLogText(const QByteArray& bytes);
