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
// A key or value that does not fit on its line is such a failure.
bool WriteIni(const QString& section, const QString& key, const QString& value,
              const QString& file = QString());

// False when text would not stay on its key's line: a line break would start
// a key or a section of its own, a NUL would cut it.
bool IniValueFits(const QString& text);

// Drops every key of section (its heading, comments and blank lines stay),
// so that a key written next starts from its default. Fails as WriteIni.
bool ClearIniSection(const QString& section, const QString& file = QString());
