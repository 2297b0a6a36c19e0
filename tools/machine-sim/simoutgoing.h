#pragma once
// A message on its way out of the simulated machine: bytes known at once, or
// a header, a program read from its file in pieces as the link drains, and a
// closing worked out from the byte sum of everything before it.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <functional>

namespace sim {

class OutgoingMessage {
public:
    // The closing from the sum of every byte before it, a leading "%" not counted.
    using Closing = std::function<QByteArray(quint32 sum)>;

    explicit OutgoingMessage(QByteArray bytes);
    // False from open() when the file cannot be read.
    OutgoingMessage(QByteArray head, const QString& path, Closing closing);
    bool open();

    qint64 size() const { return size_; }
    // Up to max further bytes; 0 at the end (or after a read error).
    qsizetype read(char* into, qsizetype max);
    // Other valid checksum digits at the end (protocol 2).
    void corruptChecksum();
    // The whole message when held, else its header and a size note.
    QByteArray text() const;

private:
    qsizetype take(QByteArray& from, qsizetype& pos, char* into, qsizetype max);

    QByteArray head_;
    qsizetype headPos_ = 0;
    QFile file_;
    bool streamed_ = false;
    Closing closing_;
    QByteArray close_;
    qsizetype closePos_ = 0;
    bool closed_ = false;
    quint32 sum_ = 0;
    qint64 size_ = 0;
};

}  // namespace sim
