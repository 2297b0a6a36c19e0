#pragma once
// An upload's body as it comes, in a file beside where it goes (the same
// disk, and the folder the server may write), so that a client's memory
// is a piece, not the body. The file is removed with its last holder.
#include <QByteArray>
#include <QString>

class SpooledBody {
public:
    // A new hidden file in folder; when none could be made, write() fails (with why()).
    explicit SpooledBody(const QString& folder);
    ~SpooledBody();
    SpooledBody(const SpooledBody&) = delete;
    SpooledBody& operator=(const SpooledBody&) = delete;

    bool write(const char* data, qint64 n);
    // No more bytes come: the file is closed.
    void close();
    QString why() const { return why_; }
    QString path() const { return path_; }

private:
    QString path_, why_;
    int fd_ = -1;
};
