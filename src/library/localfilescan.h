#pragma once
// One pass over a folder for the local file list: the matching files, and
// for each, when asked, its size, time and both comments (one opening).
#include <QString>
#include <vector>

struct LocalFile {
    QString name;            // as found, trimmed of blanks
    QString diskName;        // as found
    int kind = 0;            // FileKind of the name
    bool statRead = false;
    bool exists = true;      // false when the file was gone at the stat
    qint64 size = 0;         // bytes
    qint64 modified = 0;     // last write, milliseconds since the epoch (UTC)
    bool commentsRead = false;
    QString fileComment;
    QString programComment;
};

// Files of folder matching pattern (Windows wildcard rules), folders left
// out, in case-insensitive name order. A folder that does not exist gives
// none. With withDetails, sizes, times and comments are read at once; else
// ReadLocalDetails reads them for the rows that need them.
std::vector<LocalFile> ScanProgramFolder(const QString& folder, const QString& pattern, bool withDetails = true);

// Size and time, then the comments of f, each once. folder is the one the
// scan found it in (as on disk). A file that cannot be read gives empty
// comments; one that vanished, size and time 0 and false from ReadLocalStat.
bool ReadLocalStat(LocalFile& f, const QString& folder);
void ReadLocalComments(LocalFile& f, const QString& folder);
