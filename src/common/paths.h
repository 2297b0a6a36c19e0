#pragma once
// File names with Windows rules on any platform: lookups fall back to a
// case-insensitive match, wildcards are case-insensitive, and a directory
// search returns names in case-insensitive order.
#include <QList>
#include <QString>

// path itself when it exists; otherwise the existing path that matches it
// component by component without regard to case; otherwise path unchanged.
QString ResolveCase(const QString& path);

// Windows wildcard match ("*", "?"), case-insensitive; "*." matches names
// without a dot, "*.*" matches every name.
bool WildcardMatch(const QString& name, const QString& pattern);

struct FoundFile {
    QString name;
    bool isDir = false;
    qint64 size = 0;
};
// Entries of folder matching pattern ("." and ".." left out), ordered by name
// without regard to case. Empty when the folder does not exist.
QList<FoundFile> FindFiles(const QString& folder, const QString& pattern);

// Joins a folder and a name with "/", tolerating a trailing separator.
QString JoinPath(const QString& folder, const QString& name);
