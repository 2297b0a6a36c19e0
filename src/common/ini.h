#pragma once
// INI access with the behaviour of the platform's private-profile functions:
// case-insensitive sections and keys, first of duplicates wins, blanks around
// names and values ignored, values cut at 511 characters, the default for a
// missing file, section or key. A file name shorter than two characters means
// the general settings file.
#include <QString>

QString ReadIni(const QString& section, const QString& key, const QString& def,
                const QString& file = QString());

// Changes only the key's line (or adds the key to its section, or the section
// to the file) and keeps every other byte. The file is replaced atomically.
// On failure: beep, "Fel vid skrivning till INI-fil..." to the operator, false.
bool WriteIni(const QString& section, const QString& key, const QString& value,
              const QString& file = QString());
