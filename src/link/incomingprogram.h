#pragma once
// A program a machine sends, written to its file as it arrives: only the
// last few bytes of the message are held, since the frame's closing and the
// checksum are known only at its end. The file replaces its target only when
// the message is complete and checked.
#include "library/programfile.h"
#include <QByteArray>
#include <memory>

class IncomingProgram {
public:
    enum class Frame {
        Checksummed,  // protocol 2: body from the 21st character, closing line end, checksum, "%"
        Short,        // protocol 1 short header: body from the 13th character up to the "%"
        Colon,        // protocol 1 colon header: body from the 11th character up to the "%"
    };
    // start: the message so far (at least its header). writer: open on the
    // target, or null when the program is not to be stored (it is then only
    // read to its end); failure: why the target could not be opened.
    // batch: bytes gathered before they are summed and written.
    IncomingProgram(Frame frame, QByteArrayView start, std::unique_ptr<ProgramFileWriter> writer,
                    FileResult failure = {}, qsizetype batch = 256 * 1024);

    void append(QByteArrayView bytes);
    // The serial link drops a DC4 that ends a piece.
    void dropFinalDc4();
    bool endsWithPercent() const;
    qint64 size() const { return size_; }

    // At the end of the message: the two checksum characters before its
    // final "%", and the checksum of everything before them and their line end.
    QByteArray receivedChecksum() const;
    QByteArray computedChecksum() const;
    // Writes the body's last bytes; the first write failure, if any, is the
    // result. Then commit() replaces the target.
    FileResult finish();
    FileResult commit();
    // What writes the file; null when it stores nothing.
    const ProgramFileWriter* writer() const { return writer_.get(); }
    // After finish(): the SHA-256 (hex) and count of the program text
    // written to the file (see ProgramFileWriter).
    QByteArray sha256Hex() const { return sha256_; }
    qint64 textBytes() const { return textBytes_; }
    // The file it replaces; empty when it stores nothing.
    QString target() const { return writer_ ? writer_->target() : QString(); }

private:
    void release(const char* data, qsizetype count);

    Frame frame_;
    std::unique_ptr<ProgramFileWriter> writer_;
    FileResult failure_;
    qsizetype batch_;
    qint64 size_ = 0;      // bytes of the message so far
    qint64 released_ = 0;  // bytes summed and written (or passed over)
    QByteArray window_;    // the bytes after those: the message's last ones
    quint32 sum_ = 0;
    char firstBodyByte_ = 0;
    bool finished_ = false;
    QByteArray sha256_;
    qint64 textBytes_ = 0;
};
