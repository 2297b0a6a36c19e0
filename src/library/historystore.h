#pragma once
// The history store's own, shared by keeping a version and by the store's
// totals: its file names, the lock that shares it between processes, and
// the versions in a program's folder.
#include "library/history.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#ifndef Q_OS_UNIX
#include <QLockFile>
#endif

namespace history {

inline constexpr qint64 kPiece = 256 * 1024;
inline constexpr char kNameFile[] = "program.txt";
inline constexpr char kProgramLock[] = "lock";

// A lock shared with other processes. The system lets it go with its
// process, so a crash leaves none behind to wait for.
class Lock {
public:
    explicit Lock(const QString& path);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool locked() const { return locked_; }

private:
#ifdef Q_OS_UNIX
    int fd_ = -1;
#else
    std::optional<QLockFile> file_;
#endif
    bool locked_ = false;
};

struct Stored {
    HistoryVersion v;
    qint64 bytes = 0;  // of the compressed file
};

// Oldest first. Files that are no version (nor the name file or a lock) land
// in *leftovers.
QList<Stored> VersionsIn(const QString& store, QStringList* leftovers = nullptr);

// Brings the totals up to date after a keep: added bytes of the new version,
// which replaces a newest one of replacedNewest bytes; removed bytes of the
// versions the program's own count let go.
void UpdateStore(qint64 added, qint64 replacedNewest, qint64 removed, qint64 maxMB);

}  // namespace history
