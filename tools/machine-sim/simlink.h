#pragma once
// One way in and out of the simulated machine: an accepted or outgoing TCP
// connection, or a serial port. It cuts the incoming bytes into messages and
// paces the outgoing ones (pieces, delays, a link dropped half-way) without
// ever blocking the event loop.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

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
    explicit Channel(QObject* parent = nullptr);

    void send(const QByteArray& bytes, const Pacing& pacing);
    // Nothing queued for sending.
    bool idle() const { return queue_.isEmpty(); }
    virtual bool isSerial() const = 0;
    virtual bool isOpen() const = 0;
    virtual QString describe() const = 0;

Q_SIGNALS:
    void messageReceived(const QByteArray& message);
    // Everything queued has been handed to the link.
    void drained();
    // The far end went away (or the link was dropped on purpose).
    void closed();

protected:
    virtual void writeRaw(const QByteArray& bytes) = 0;
    virtual void dropLink() = 0;
    void feed(const QByteArray& data);
    void discardQueue();

private:
    struct Piece {
        QByteArray bytes;
        int delayBeforeMs = 0;
        bool dropAfter = false;
    };
    void pump();

    QByteArray inBuffer_;
    qsizetype scanned_ = 0;  // bytes of inBuffer_ already searched for "%%"
    QList<Piece> queue_;
    QTimer pieceTimer_;
    bool waited_ = false;
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

private:
    QPointer<QTcpSocket> socket_;
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

private:
    void onEvent(int code);
    QPointer<SerialPort> port_;
};

}  // namespace sim
