#include "machine-sim/simlink.h"

#include "link/frames.h"
#include "link/serialport.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <cstring>

namespace sim {

namespace {
// Messages that are not programs are held whole, up to this size.
constexpr qsizetype kMaxMessage = 64 * 1024 * 1024;
// A program goes out in pieces of this size, as long as the link holds less
// than its window.
constexpr qsizetype kPiece = 256 * 1024;
constexpr qint64 kTcpWindow = 1024 * 1024;
// A serial port only says when it has sent everything: enough to keep the
// line busy between refills.
constexpr qint64 kSerialWindow = 64 * 1024;
}  // namespace

Channel::Channel(QObject* parent) : QObject(parent) {
    pieceTimer_.setSingleShot(true);
    connect(&pieceTimer_, &QTimer::timeout, this, &Channel::pump);
}

Channel::~Channel() = default;

void Channel::send(const QByteArray& bytes, const Pacing& pacing) {
    send(std::make_unique<OutgoingMessage>(bytes), pacing);
}

void Channel::send(std::unique_ptr<OutgoingMessage> message, const Pacing& pacing) {
    if (!message || message->size() == 0) return;
    Queued q;
    q.limit = pacing.dropHalfway ? std::max<qint64>(1, message->size() / 2) : message->size();
    q.message = std::move(message);
    q.pacing = pacing;
    queue_.push_back(std::move(q));
    if (!pieceTimer_.isActive()) pump();
}

void Channel::discardQueue() {
    queue_.clear();
    pieceTimer_.stop();
    waited_ = false;
}

void Channel::pump() {
    // Called again by the link as it drains; only a pump that sends anything says so.
    if (pumping_ || pieceTimer_.isActive() || queue_.empty()) return;
    pumping_ = true;
    while (!queue_.empty()) {
        Queued& q = queue_.front();
        if (q.sent > 0 && q.pacing.delayMs > 0 && !waited_) {
            waited_ = true;
            pieceTimer_.start(q.pacing.delayMs);
            pumping_ = false;
            return;
        }
        if (!canWrite()) {
            pumping_ = false;
            return;
        }
        waited_ = false;
        const qint64 left = q.limit - q.sent;
        // A message held in memory goes in one write, as it always did.
        const qint64 step = q.pacing.pieceBytes > 0 ? q.pacing.pieceBytes
                                                    : (q.message->size() <= kPiece ? left : kPiece);
        QByteArray piece(std::min(left, step), Qt::Uninitialized);
        const qsizetype n = q.message->read(piece.data(), piece.size());
        if (n > 0) {
            piece.truncate(n);
            writeRaw(piece);
            q.sent += n;
            sentBytes_ += n;
        }
        if (n <= 0 || q.sent >= q.limit) {
            const bool drop = q.pacing.dropHalfway;
            queue_.pop_front();
            if (drop) {
                discardQueue();
                dropLink();
                pumping_ = false;
                Q_EMIT drained();
                return;
            }
        }
    }
    pumping_ = false;
    Q_EMIT drained();
}

void Channel::discardIncoming() {
    inBuffer_.clear();
    program_.reset();
    length_ = 0;
    decided_ = false;
    skipping_ = false;
}

void Channel::take(const char* data, qsizetype n) {
    if (n <= 0) return;
    length_ += n;
    if (program_) {
        program_->write(data, n);
        return;
    }
    if (skipping_) return;
    inBuffer_.append(data, n);
    if (!decided_ && inBuffer_.size() > kDecideAt) {
        decided_ = true;
        if (programRule_) program_ = programRule_(inBuffer_.left(kDecideAt + 1));
        if (program_) {
            program_->write(inBuffer_.constData(), inBuffer_.size());
            inBuffer_ = QByteArray();
            return;
        }
    }
    // Endless bytes without a closing "%" are no message worth the memory.
    if (inBuffer_.size() > kMaxMessage) {
        inBuffer_ = QByteArray();
        skipping_ = true;
    }
}

void Channel::complete() {
    QByteArray message = std::move(inBuffer_);
    std::unique_ptr<IncomingProgram> program = std::move(program_);
    const bool skipped = skipping_;
    discardIncoming();
    if (skipped) return;
    if (program) {
        program->finish();
        message = program->text();
    }
    Q_EMIT messageReceived(message, program.get());
}

void Channel::feed(const QByteArray& received) {
    if (!isSerial()) {
        feed(received.constData(), received.size());
        return;
    }
    QByteArray data = StripNulls(received);
    if (data.endsWith('\x14')) data.chop(1);
    feed(data.constData(), data.size());
}

void Channel::feed(const char* p, qsizetype n) {
    qsizetype pos = 0;
    while (pos < n) {
        if (length_ == 0 && isSerial()) {
            // Line noise before a message is no part of it.
            const void* start = std::memchr(p + pos, '%', static_cast<size_t>(n - pos));
            if (!start) return;
            pos = static_cast<const char*>(start) - p;
        }
        // Messages sent back to back arrive as "...%%...": a controller reads
        // the stream message by message, and bodies never hold a "%". A "%"
        // that ends what has come ends its message too; a lone "%" is the
        // start of a message, never a whole one.
        qsizetype end = -1;
        for (qsizetype from = length_ == 0 ? pos + 1 : pos; from < n;) {
            const void* hit = std::memchr(p + from, '%', static_cast<size_t>(n - from));
            if (!hit) break;
            const qsizetype at = static_cast<const char*>(hit) - p;
            if (at + 1 == n || p[at + 1] == '%') {
                end = at + 1;
                break;
            }
            from = at + 1;
        }
        const qsizetype stop = end < 0 ? n : end;
        take(p + pos, stop - pos);
        pos = stop;
        if (end >= 0) complete();
    }
}

TcpChannel::TcpChannel(QTcpSocket* socket, QObject* parent) : Channel(parent), socket_(socket) {
    socket->setParent(this);
    // Small messages one after the other must not wait for the peer's ACK.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        // One buffer for every read: a program arrives in many pieces.
        if (readBuffer_.isEmpty()) readBuffer_.resize(kPiece);
        qint64 n = 0;
        while (socket_ && (n = socket_->read(readBuffer_.data(), readBuffer_.size())) > 0) feed(readBuffer_.constData(), n);
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        discardQueue();
        discardIncoming();
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

bool TcpChannel::canWrite() const {
    return !socket_ || socket_->bytesToWrite() < kTcpWindow;
}

void TcpChannel::dropLink() {
    if (!socket_) return;
    // What was written reaches the far end before the connection goes.
    socket_->disconnectFromHost();
}

SerialChannel::SerialChannel(SerialPort* port, QObject* parent) : Channel(parent), port_(port) {
    connect(port, &SerialPort::commEvent, this, &SerialChannel::onEvent);
    refill_.setParent(this);
    refill_.setSingleShot(true);
    connect(&refill_, &QTimer::timeout, this, &SerialChannel::pump);
}

void SerialChannel::onEvent(int code) {
    if (code == SerialPort::EvSend) pump();
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
    if (!isOpen()) return;
    port_->write(bytes);
    // A control's UART is fed before it runs empty: the next piece goes while
    // half a window still waits, not at the port's "sent" event.
    SerialSettings line;
    const qint64 queued = port_->outBufferCount();
    if (queued >= kSerialWindow && ParseSerialSettings(port_->settings(), line))
        refill_.start(int(1000.0 * double(queued - kSerialWindow / 2) / CharactersPerSecond(line)));
}

bool SerialChannel::canWrite() const {
    return !port_ || port_->outBufferCount() < kSerialWindow;
}

void SerialChannel::dropLink() {
    // A cable pulled half-way: the rest never comes, the port stays as it is.
}

}  // namespace sim
