#pragma once
// Every file the program rewrites goes through here: written beside the
// file and put in its place only when every byte is on disk. QSaveFile alone
// is not enough: a short file only fills Qt's buffer, so a full disk shows at
// commit(), after which Qt 6.4 still puts the empty file in place. Writes
// here are unbuffered and checked; a failure leaves the old file and is
// logged once, in Swedish.
#include "common/apperror.h"
#include <QByteArray>
#include <QSaveFile>
#include <QString>

class SafeFile {
public:
    explicit SafeFile(const QString& path);
    ~SafeFile();  // an uncommitted file is dropped
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    bool open();
    // False on any short write; the file is then given up (commit fails).
    bool write(const char* data, qint64 size);
    bool write(const QByteArray& bytes) { return write(bytes.constData(), bytes.size()); }
    // Puts the file in place; false (old file kept) after any failure.
    bool commit();
    // Gives the file up; a write error seen through device() is logged then.
    void cancel();
    // For code that writes to any QIODevice; its writes are unbuffered too.
    QIODevice& device() { return file_; }
    // The first failure as the platform's run-time error (61 disk full, 70...).
    const AppError& failure() const { return failure_; }

private:
    bool fail();
    QSaveFile file_;
    AppError failure_{0};
    bool failed_ = false, done_ = false;
};

// The whole of a small file at once (settings, state): true when in place.
bool SaveWholeFile(const QString& path, const QByteArray& bytes);

// Makes a rename into path's folder last through a power cut: the folder
// itself is synced. False when that fails.
bool SyncFolderOf(const QString& path);
