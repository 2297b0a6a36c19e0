#include "machine-sim/simlink.h"

#include "link/frames.h"
#include "link/serialport.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace sim {

namespace {
constexpr qsizetype kMaxMessage = 64 * 1024 * 1024;
}

Channel::Channel(QObject* parent) : QObject(parent) {
    pieceTimer_.setSingleShot(true);
    connect(&pieceTimer_, &QTimer::timeout, this, &Channel::pump);
}

void Channel::send(const QByteArray& bytes, const Pacing& pacing) {
    if (bytes.isEmpty()) return;
    QByteArray rest = bytes;
    bool drop = false;
    if (pacing.dropHalfway) {
        rest = bytes.left(std::max<qsizetype>(1, bytes.size() / 2));
        drop = true;
    }
    const qsizetype step = pacing.pieceBytes > 0 ? pacing.pieceBytes : rest.size();
    for (qsizetype pos = 0; pos < rest.size(); pos += step) {
        Piece piece;
        piece.bytes = rest.mid(pos, step);
        piece.delayBeforeMs = pos > 0 ? pacing.delayMs : 0;
        piece.dropAfter = drop && pos + step >= rest.size();
        queue_.append(piece);
    }
    if (!pieceTimer_.isActive()) pump();
}

void Channel::discardQueue() {
    queue_.clear();
    pieceTimer_.stop();
    waited_ = false;
}

void Channel::pump() {
    while (!queue_.isEmpty()) {
        if (queue_.first().delayBeforeMs > 0 && !waited_) {
            waited_ = true;
            pieceTimer_.start(queue_.first().delayBeforeMs);
            return;
        }
        waited_ = false;
        const Piece piece = queue_.takeFirst();
        writeRaw(piece.bytes);
        if (piece.dropAfter) {
            discardQueue();
            dropLink();
            Q_EMIT drained();
            return;
        }
    }
    Q_EMIT drained();
}

void Channel::feed(const QByteArray& data) {
    if (isSerial()) {
        inBuffer_ += StripNulls(data);
        // Line noise before a message is no part of it.
        const qsizetype start = inBuffer_.indexOf('%');
        if (start < 0) {
            inBuffer_.clear();
            scanned_ = 0;
            return;
        }
        if (start > 0) {
            inBuffer_.remove(0, start);
            scanned_ = std::max<qsizetype>(0, scanned_ - start);
        }
        if (inBuffer_.endsWith('\x14')) inBuffer_.chop(1);
    } else {
        inBuffer_ += data;
    }
    // Endless bytes without a closing "%" are no message worth the memory.
    if (inBuffer_.size() > kMaxMessage) {
        inBuffer_.clear();
        scanned_ = 0;
    }
    // Messages sent back to back arrive as "...%%...": a controller reads the
    // stream message by message, and bodies never hold a "%".
    // Only the new bytes (and the one before them) can hold a new "%%".
    for (qsizetype cut = inBuffer_.indexOf("%%", std::max<qsizetype>(1, scanned_ - 1)); cut > 0;
         cut = inBuffer_.indexOf("%%", 1)) {
        const QByteArray message = inBuffer_.left(cut + 1);
        inBuffer_.remove(0, cut + 1);
        Q_EMIT messageReceived(message);
    }
    scanned_ = inBuffer_.size();
    // A lone "%" is the start of a message, never a whole one.
    if (inBuffer_.size() < 2 || !inBuffer_.endsWith('%')) return;
    const QByteArray message = inBuffer_;
    inBuffer_.clear();
    scanned_ = 0;
    Q_EMIT messageReceived(message);
}

TcpChannel::TcpChannel(QTcpSocket* socket, QObject* parent) : Channel(parent), socket_(socket) {
    socket->setParent(this);
    // Small messages one after the other must not wait for the peer's ACK.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        if (socket_) feed(socket_->readAll());
    });
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        discardQueue();
        Q_EMIT closed();
    });
}

TcpChannel::~TcpChannel() {
    if (!socket_) return;
    // No signals into a channel that is half gone.
    socket_->disconnect(this);
    socket_->abort();
}

QTcpSocket* TcpChannel::socket() const {
    return socket_.data();
}

bool TcpChannel::isOpen() const {
    return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

QString TcpChannel::describe() const {
    if (!socket_) return QStringLiteral("tcp");
    QHostAddress address = socket_->peerAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) address = QHostAddress(v4);
    const QString host = address.isNull() ? socket_->peerName() : address.toString();
    return QStringLiteral("tcp %1:%2").arg(host).arg(socket_->peerPort());
}

void TcpChannel::writeRaw(const QByteArray& bytes) {
    if (isOpen()) socket_->write(bytes);
}

void TcpChannel::dropLink() {
    if (!socket_) return;
    // What was written reaches the far end before the connection goes.
    socket_->disconnectFromHost();
}

SerialChannel::SerialChannel(SerialPort* port, QObject* parent) : Channel(parent), port_(port) {
    connect(port, &SerialPort::commEvent, this, &SerialChannel::onEvent);
}

void SerialChannel::onEvent(int code) {
    if (code != SerialPort::EvReceive || !port_) return;
    const QByteArray data = port_->readAll();
    if (!data.isEmpty()) feed(data);
}

bool SerialChannel::isOpen() const {
    return port_ && port_->isOpen();
}

QString SerialChannel::describe() const {
    return QStringLiteral("serial");
}

void SerialChannel::writeRaw(const QByteArray& bytes) {
    if (isOpen()) port_->write(bytes);
}

void SerialChannel::dropLink() {
    // A cable pulled half-way: the rest never comes, the port stays as it is.
}

}  // namespace sim
