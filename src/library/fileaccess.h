#pragma once
// Low-level access to library files, shared by the program file readers and
// writer; callers use programfile.h.
#include <QByteArray>
#include <QString>
#include <optional>
#ifdef Q_OS_LINUX
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace fileaccess {

// ---- platform errors -------------------------------------------------------

// The error number (Err::) for an errno value.
int ErrnoNumber(int code);
// Qt's file classes leave the system's own error code behind; read it right
// after the failing call, before anything else can overwrite it.
void ClearSystemError();
int LastSystemNumber();

// ---- reading ---------------------------------------------------------------

// A plain read-only descriptor: the list reads the first line of thousands of
// files, and QFile's set-up costs more than the read itself.
class InFile {
public:
    InFile() = default;
    InFile(const InFile&) = delete;
    InFile& operator=(const InFile&) = delete;
    ~InFile() { close(); }

    // Returns 0 or the errno of the failed open.
    int open(const QString& path);
    // Reads up to n bytes; 0 at the end. Raises on a read error.
    qint64 read(char* into, qint64 n);
    // The size, or -1 when the descriptor is not a regular file. A folder
    // raises: it exists but holds no program.
    qint64 size() const;
    // Moves to an absolute position. Raises on failure.
    void seek(qint64 position);
#ifdef Q_OS_LINUX
    // Replaces what is open by an unnamed copy of it, in its own folder when
    // that file system allows one, else in the temporary folder: a file that
    // is rewritten afterwards no longer changes what is read. False (the
    // original still open) when no copy could be made, or when the file
    // changed while it was copied.
    bool snapshot(const QString& folder);
#endif

private:
#ifdef Q_OS_LINUX
    bool hold(const struct ::stat& before);
    static bool CopyByReading(int in, int out, off_t from, off_t size);
#endif
    void close();

    int fd_ = -1;
    std::optional<QByteArray> held_;  // the snapshot, when kept in memory
    qint64 at_ = 0;
};

// Opens path, or the file that matches it without regard to case. False when
// there is no such file; raises when there is one that cannot be opened.
bool OpenExisting(InFile& file, const QString& path);

}  // namespace fileaccess
