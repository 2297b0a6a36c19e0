#pragma once
// One way in and out of the simulated machine: an accepted or outgoing TCP
// connection, or a serial port. It cuts the incoming bytes into messages
// (a program straight into its file, see IncomingProgram) and paces the
// outgoing ones (pieces, delays, a link dropped half-way), handing them to
// the link only as fast as it drains, without ever blocking the event loop.
#include "machine-sim/simincoming.h"
#include "machine-sim/simoutgoing.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

class QTcpSocket;
class SerialPort;

namespace sim {

struct Pacing {
    int pieceBytes = 0;      // 0: everything in one write
    int delayMs = 0;         // between pieces
    bool dropHalfway = false;
};

class Channel : public QObject {
    Q_OBJECT
public:
    // Asked once a message has more than kDecideAt bytes, with its first
    // ones: a program to go to a file as it arrives, or null to hold it.
    static constexpr qsizetype kDecideAt = 21;
    using ProgramRule = std::function<std::unique_ptr<IncomingProgram>(const QByteArray& head)>;

    explicit Channel(QObject* parent = nullptr);
    ~Channel() override;
    void setProgramRule(ProgramRule rule) { programRule_ = std::move(rule); }

    void send(const QByteArray& bytes, const Pacing& pacing);
    void send(std::unique_ptr<OutgoingMessage> message, const Pacing& pacing);
    // Nothing queued for sending.
    bool idle() const { return queue_.empty(); }
    // Bytes handed to the link so far.
    qint64 sentBytes() const { return sentBytes_; }
    virtual bool isSerial() const = 0;
    virtual bool isOpen() const = 0;
    virtual QString describe() const = 0;

Q_SIGNALS:
    // A complete message. program is set, and valid during the call only,
    // when the message went to a file; message is then its text().
    void messageReceived(const QByteArray& message, sim::IncomingProgram* program);
    // Everything queued has been handed to the link.
    void drained();
    // The far end went away (or the link was dropped on purpose).
    void closed();

protected:
    virtual void writeRaw(const QByteArray& bytes) = 0;
    virtual void dropLink() = 0;
    // Room on the link for more bytes now; when there is none, the link
    // calls pump() again as it drains.
    virtual bool canWrite() const = 0;
    void feed(const QByteArray& data);
    // Bytes as they came (serial bytes go through the other feed, which drops NULs first).
    void feed(const char* data, qsizetype n);
    void discardQueue();
    // A message cut off by the link going away is no message.
    void discardIncoming();
    void pump();

private:
    struct Queued {
        std::unique_ptr<OutgoingMessage> message;
        Pacing pacing;
        qint64 limit = 0;  // bytes to send: all, or half before the link is dropped
        qint64 sent = 0;
    };
    void take(const char* data, qsizetype n);
    void complete();

    ProgramRule programRule_;
    QByteArray inBuffer_;
    std::unique_ptr<IncomingProgram> program_;
    qint64 length_ = 0;     // bytes of the present message so far
    bool decided_ = false;  // programRule_ asked
    bool skipping_ = false; // past the cap: the rest up to its end is passed over
    std::deque<Queued> queue_;
    QTimer pieceTimer_;
    bool waited_ = false;
    bool pumping_ = false;
    qint64 sentBytes_ = 0;
};

class TcpChannel : public Channel {
    Q_OBJECT
public:
    // Takes ownership of socket.
    explicit TcpChannel(QTcpSocket* socket, QObject* parent = nullptr);
    ~TcpChannel() override;
    bool isSerial() const override { return false; }
    bool isOpen() const override;
    QString describe() const override;
    QTcpSocket* socket() const;

protected:
    void writeRaw(const QByteArray& bytes) override;
    void dropLink() override;
    bool canWrite() const override;

private:
    QPointer<QTcpSocket> socket_;
    QByteArray readBuffer_;
};

class SerialChannel : public Channel {
    Q_OBJECT
public:
    // port is not owned and must outlive the channel.
    explicit SerialChannel(SerialPort* port, QObject* parent = nullptr);
    bool isSerial() const override { return true; }
    bool isOpen() const override;
    QString describe() const override;

protected:
    void writeRaw(const QByteArray& bytes) override;
    void dropLink() override;
    bool canWrite() const override;

private:
    void onEvent(int code);
    QPointer<SerialPort> port_;
    QTimer refill_;  // the next piece, while half a window still waits
};

}  // namespace sim
