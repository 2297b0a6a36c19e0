#pragma once
// A message on its way to a machine: its head, then the text of a program
// file read as the link drains, then its closing. A program of any size
// goes out without being held whole.
#include "common/apperror.h"
#include <QByteArray>
#include "common/sha256.h"
#include <functional>
#include <memory>

class ProgramTextReader;

class Outgoing {
public:
    enum class Close {
        Checksum,   // the EOB line end, the checksum of all after the leading "%", "%"
        Percent,    // "%" alone
        LfPercent,  // LF and "%"
        Nothing,    // the head is the whole message
    };
    Outgoing(QByteArray head, Close close, int eob = 0);
    ~Outgoing();
    Outgoing(const Outgoing&) = delete;
    Outgoing& operator=(const Outgoing&) = delete;
    Outgoing(Outgoing&&) noexcept;
    Outgoing& operator=(Outgoing&&) noexcept;

    // The program text that follows the head.
    void setProgram(std::unique_ptr<ProgramTextReader> program);
    // Up to max further bytes; empty once the whole message was handed out.
    // Raises AppError when the program file cannot be read.
    QByteArray next(qsizetype max);
    // For the traffic view: the head as built, and the message's size (the
    // program counted by its file's size).
    const QByteArray& head() const { return head_; }
    qint64 size() const;
    // Once the whole message was handed out: the SHA-256 (hex) and count
    // of the program text in it; empty and 0 when it carried none.
    QByteArray sha256Hex() const { return textHash_ ? textHash_->hex() : QByteArray(); }
    qint64 textBytes() const { return textBytes_; }
    // Where the message, wherever the link moved it, leaves its checksum and
    // count when it is done with: a job's row reads them after the answer,
    // or in ended when no answer follows (a program the machine asked for).
    struct Sent {
        QByteArray sha256;
        qint64 bytes = 0;
        bool whole = false;  // the closing too was handed out
        std::function<void(const Sent&)> ended;
    };
    void reportTo(std::shared_ptr<Sent> sent) { sent_ = std::move(sent); }

private:
    void add(const char* bytes, qsizetype n);

    QByteArray head_;
    QByteArray pending_;  // the head, then the closing
    qsizetype pos_ = 0;
    std::unique_ptr<ProgramTextReader> program_;
    std::unique_ptr<Sha256> textHash_;
    qint64 textBytes_ = 0;
    std::shared_ptr<Sent> sent_;
    Close close_;
    int eob_;
    quint32 sum_ = 0;
    bool closed_ = false;
};

// A program file that changed while it was going out: it must not reach the
// machine as a program, so the message stops before its closing.
class FileChangedError : public AppError {
public:
    explicit FileChangedError(const QString& name);
};

// What the operator is told when a message stopped on its way out.
QString SendFailureText(const AppError& e);
