#pragma once
// A program on its way into the simulated machine's memory: the message's
// bytes go to a temporary file in the memory folder as they arrive, the
// checksum and the body's end are worked out on the way, and the file takes
// the program's place only when the message is complete and kept.
#include <QByteArray>
#include <QString>
#include <QTemporaryFile>

namespace sim {

class IncomingProgram {
public:
    // Where the body starts: a protocol-2 frame (StripFrame), or a fixed
    // offset with the body up to the closing "%" (protocol 1).
    static constexpr qsizetype kFrame2 = -1;
    // Names of the temporary files, so that no listing takes them for programs.
    static constexpr const char* kTemporaryPrefix = ".incoming-";
    // Messages up to this size are also kept whole for the log and signals.
    static constexpr qsizetype kWhole = 64 * 1024;

    IncomingProgram(const QString& folder, qsizetype bodyStart);
    IncomingProgram(const IncomingProgram&) = delete;
    IncomingProgram& operator=(const IncomingProgram&) = delete;

    // The message's bytes in order, from its first.
    void write(const char* data, qsizetype n);
    // The message is complete: the body's end is cut and the checksum read.
    void finish();

    qint64 size() const { return size_; }
    // The PC's rule (see PcChecksumOk), for protocol-2 frames.
    bool checksumOk() const { return checksumOk_; }
    // The whole message when short, else its header and a size note.
    QByteArray text() const;
    // Moves the body to path in one step; false (see errorString) when the
    // file could not be written or moved.
    bool commit(const QString& path);
    QString errorString() const { return error_; }

private:
    void fail(const QString& why);
    bool append(const char* data, qsizetype n);

    // The end of a body lies in the last six bytes at most.
    static constexpr qsizetype kHold = 6;

    QTemporaryFile file_;
    qsizetype bodyStart_;
    qint64 begin_ = -1;    // the body's first byte in the message, once known
    qint64 written_ = 0;   // body bytes in the file
    qint64 size_ = 0;
    quint32 sum_ = 0;      // every byte after the leading "%"
    QByteArray head_;      // the first kWhole bytes
    QByteArray tail_;      // the last kHold bytes
    bool ok_ = true;
    bool checksumOk_ = false;
    QString error_;
};

}  // namespace sim
