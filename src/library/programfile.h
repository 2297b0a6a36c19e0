#pragma once
// Program files of the local library and their two comments.
//
// Layout: an optional "(" file comment ")" right before a first "%", the
// program text with CR LF line ends, a closing "%". Files from elsewhere may
// look like anything; the readers accept any bytes.
//
// Paths are looked up exactly first, then without regard to case. Readers
// return empty for a missing file but raise AppError for a file that exists
// and cannot be read, so that no caller takes it for an empty program.
#include <QByteArray>
#include <QDateTime>
#include <QLockFile>
#include <QString>
#include <memory>

class Sha256;

// True when path names an existing file or folder.
bool FileExists(const QString& path);
// True when path names an existing folder.
bool FolderExists(const QString& path);

// The program text: the file's bytes; when they hold a "%", everything up to
// and including the first "%" is dropped and every later "%" removed. A first
// "%" that is also the last character but blanks (CR, LF, tab, space) ends a
// program without start marker: the text is then everything before it.
QByteArray ReadProgramFile(const QString& path);

// The same program text read in pieces, so that a program of any size goes
// to a machine without being held whole.
class ProgramTextReader {
public:
    ProgramTextReader();
    ~ProgramTextReader();
    ProgramTextReader(const ProgramTextReader&) = delete;
    ProgramTextReader& operator=(const ProgramTextReader&) = delete;
    // False when there is no such file; raises AppError when it cannot be read.
    // snapshot: read from a copy taken now, so that a later change to the
    // file cannot cut what is read.
    bool open(const QString& path, bool snapshot = false);
    // Up to max bytes of the text into into; 0 at its end. Raises on a read error.
    qsizetype read(char* into, qsizetype max);
    // The rest of the text in one buffer.
    QByteArray readAll();
    // The file's name when its size or modification time is no longer what
    // it was when opened (rewritten or cut while being read); empty otherwise.
    QString changedName() const;
    // The file's size when opened; -1 when not a regular file.
    qint64 fileSize() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// A digest of the file's bytes (empty when there is no such file), to tell
// whether it changed in between. Raises AppError when it cannot be read.
QByteArray FileDigest(const QString& path);

struct FileResult {
    bool ok = true;
    int number = 0;
    QString description;
    // "Filfel (" number "): " description
    QString message() const;
};

// Writes text with CR LF line ends; with a comment (or, when comment is empty,
// the file's present one) as "(" comment ")%" text "%". The file is replaced
// in one step: on failure the old file stays as it was and the result tells
// the platform error.
FileResult WriteProgramFile(const QByteArray& text, const QString& path, const QString& comment);

// The same, for a program that arrives in pieces: written to a temporary file
// beside its target, which replaces the target only at commit(). Dropped
// (or cancelled) before that, it leaves the old file and no temporary one.
class ProgramFileWriter {
public:
    ProgramFileWriter();
    ~ProgramFileWriter();
    ProgramFileWriter(const ProgramFileWriter&) = delete;
    ProgramFileWriter& operator=(const ProgramFileWriter&) = delete;
    // Checks the target and opens the temporary file; the comment as above.
    FileResult open(const QString& path, const QString& comment);
    // More program text; false once a write failed (the first failure is kept).
    bool write(const char* data, qsizetype n);
    FileResult error() const;
    // Everything written out (the first failure, if any): what is left for
    // commit() is to make it the target.
    FileResult finish();
    // After finish(): true when what was written equals the file it replaces
    // byte for byte. commit() then leaves that file untouched.
    bool sameAsTarget() const;
    FileResult commit();
    void cancel();
    // The file being replaced (its case resolved); empty when not open.
    QString target() const;
    // After finish(): the SHA-256 (hex) and count of the program text
    // written, comment left out: what a send of the file would send.
    QByteArray sha256Hex() const;
    qint64 textBytes() const { return textBytes_; }

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
    std::unique_ptr<Sha256> hash_;
    qint64 textBytes_ = 0;
};

// Comments from the first line (up to the first CR) of the file.
// The file comment: the part before the start "%", without "(" and ")"; a
// "%" that ends the file (see ReadProgramFile) starts nothing, so a line that
// holds only that one has no file comment.
QString FileComment(const QString& path);
// The program comment, after the start "%": 18 characters after a "~", else
// the text between a "(" and a later ")".
QString ProgramComment(const QString& path);

struct Comments {
    QString file;
    QString program;
};
// Both comments with one opening of the file.
Comments ReadComments(const QString& path);

// The name before its last "."; empty when it has none.
QString NameWithoutExt(const QString& name);
// Picture number by first character: "O", "G", "N" 2, "K" 3, "T" 4, else 0.
int FileKind(const QString& name);
// Local time to the whole second; a null value for an invalid time.
QDateTime FileTimeToDate(const QDateTime& fileTime);
// "1536" -> "2 kB": a number and "B", "kB", "MB" or "GB".
QString SizeText(qint64 bytes);
// Size in 128-byte blocks, halves to the even neighbour.
qint64 BlockCount(qint64 bytes);

// Where a program's lock lives: a hidden folder beside it, shared by every
// server of the library and never in a list; one that a killed process left
// is taken over by the next (a dead owner is known by its PID and host).
inline constexpr char kLockFolderName[] = ".fenmo32-lock";
QString ProgramLockPath(const QString& target);
// Takes a program's lock, waiting at most waitMs for another holder. A lock
// file left empty by a process killed while it made it names no owner: it is
// taken over once it is plainly not being written any more.
bool LockProgram(QLockFile& lock, int waitMs);
