#pragma once
// Earlier versions of library programs, kept before the program writes over
// or removes one, so that no operation loses a program for good.
//
// The store is the folder "historik" of the program folder, never part of a
// library. Each program has a folder of its own there, named by a hash of
// its absolute path (two library folders may hold the same name); a file
// "program.txt" in it names the path. A version is one gzip file whose name
// carries what the list shows:  <id>_<yyyyMMdd-HHmmsszzz>_<size>_<origin>.gz
// (origin percent-encoded), so nothing but the file system is needed. The
// file "index" of the store holds its running totals, so that a keep need
// not look at every program's versions; without it, they are counted again.
// Several processes may share one store: a lock per program gives each
// version its own id, a lock on the store guards the totals.
#include "library/programfile.h"

#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <QString>

constexpr int kHistoryKeepDefault = 20;
constexpr int kHistoryMaxMBDefault = 2048;

struct HistorySettings {
    int keep = kHistoryKeepDefault;         // versions per program; 0 keeps none
    qint64 maxMB = kHistoryMaxMBDefault;    // the whole store, compressed
};
// HistoryKeep and HistoryMaxMB of section "Program"; a value that does not
// convert (or is negative) counts as its default, so history never stops a
// replace for a typing error in the settings.
HistorySettings ReadHistorySettings();

// The store's folder in the program folder, and its name there.
QString HistoryFolder();
inline constexpr char kHistoryFolderName[] = "historik";
// True for the store itself, so that folder views can leave it out.
bool IsHistoryFolder(const QString& path);

struct HistoryVersion {
    int id = 0;
    QDateTime date;     // when it was kept, local time
    qint64 size = 0;    // bytes of the program as it was
    QString origin;     // the machine or operation that replaced it
    QString file;       // the compressed version
};

// Keeps the present content of programPath as its newest version, then prunes
// the store. Nothing happens (and ok) when history is off or there is no such
// file. A failure means the old content could not be kept: the caller must
// not replace the file.
FileResult KeepVersion(const QString& programPath, const QString& origin);
// The same for the file replacement is about to replace (after its finish(),
// before its commit()); nothing is kept when it brings the very same bytes,
// so that storing one program over and over never pushes a real earlier
// version out.
FileResult KeepVersion(const ProgramFileWriter& replacement, const QString& origin);

// Versions of programPath, newest first.
QList<HistoryVersion> ListVersions(const QString& programPath);

// The program bytes of a version, inflated into out piece by piece.
FileResult ReadVersion(const HistoryVersion& version, QIODevice& out);

// Puts version id back in place of programPath. The present content is kept
// as a version first; the program is replaced in one step. A version equal to
// the present content changes nothing.
FileResult RestoreVersion(const QString& programPath, int id);

// The name of a version's file, and the fields read back from one; false for
// a name that is no version's.
QString VersionFileName(int id, const QDateTime& date, qint64 size, const QString& origin);
bool ParseVersionName(const QString& fileName, HistoryVersion* version);
