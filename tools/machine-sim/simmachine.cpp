#include "machine-sim/simmachine.h"

#include "common/ansi.h"
#include "common/paths.h"
#include "link/filelists.h"
#include "link/frames.h"
#include "link/memoryserialport.h"
#include "link/serialport.h"
#include "machine-sim/simincoming.h"
#include "machine-sim/simlink.h"
#include "machine-sim/simoutgoing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <QTcpServer>
#include <QTcpSocket>

using namespace sim;

SimMachine::SimMachine(const QString& memoryFolder, QObject* parent)
    : QObject(parent), folder_(memoryFolder) {
    QDir().mkpath(folder_);
    replyTimer_.setSingleShot(true);
    connect(&replyTimer_, &QTimer::timeout, this, [this] {
        if (!pending_) return;
        // A long program still going out is no silent PC.
        Channel* channel = pending_->channel;
        if (channel && !channel->idle() && channel->sentBytes() != sentWhenArmed_) {
            armReplyTimer();
            return;
        }
        Q_EMIT logLine(QStringLiteral("-- no answer from the PC"));
        finish(false, {});
    });
}

SimMachine::~SimMachine() {
    // Channels go while the state their signals reach is still whole.
    replyTimer_.stop();
    const auto channels = channels_;
    for (const QPointer<Channel>& channel : channels) delete channel.data();
}

// --- Program memory ---------------------------------------------------------

QString SimMachine::programPath(const QString& name) const {
    if (!IsSafeProgramName(ToAnsi(name))) return {};
    const QString path = ResolveCase(JoinPath(folder_, name));
    return QFileInfo(path).isFile() ? path : QString();
}

QByteArray SimMachine::program(const QString& name) const {
    const QString path = programPath(name);
    if (path.isEmpty()) return {};
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

bool SimMachine::storeProgram(const QString& name, const QByteArray& body) {
    if (!IsSafeProgramName(ToAnsi(name))) return false;
    QString path = programPath(name);
    if (path.isEmpty()) path = JoinPath(folder_, name);
    QDir().mkpath(folder_);
    // Replaced in one step but not synced: a simulated memory needs no durability,
    // and a sync per program would make the machine, not the PC, the slow side.
    const QString temporary = path + QStringLiteral(".part");
    QFile f(temporary);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(body) != body.size()) {
        error_ = f.errorString();
        f.remove();
        return false;
    }
    f.close();
    if (::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        error_ = QStringLiteral("rename failed");
        QFile::remove(temporary);
        return false;
    }
    Q_EMIT programStored(name);
    return true;
}

bool SimMachine::removeProgram(const QString& name) {
    const QString path = programPath(name);
    if (path.isEmpty() || !QFile::remove(path)) return false;
    Q_EMIT programRemoved(name);
    return true;
}

QStringList SimMachine::programs() const {
    QStringList names;
    for (const FoundFile& f : FindFiles(folder_, QStringLiteral("*")))
        if (!f.isDir && !f.name.startsWith(QLatin1String(IncomingProgram::kTemporaryPrefix))) names << f.name;
    return names;
}

QByteArray SimMachine::listOf(const QString& pattern, bool narrow) const {
    return BuildProgramList(folder_, pattern, narrow ? ListWidth::Narrow : ListWidth::Wide);
}

// --- Transports -------------------------------------------------------------

bool SimMachine::listen(quint16 port, const QHostAddress& address) {
    if (!server_) {
        server_ = new QTcpServer(this);
        connect(server_, &QTcpServer::newConnection, this, [this] {
            while (server_->hasPendingConnections()) {
                auto* channel = new TcpChannel(server_->nextPendingConnection(), this);
                addChannel(channel);
                log(QStringLiteral("++"), channel, "connected");
            }
        });
    }
    if (server_->isListening()) server_->close();
    if (!server_->listen(address, port)) {
        error_ = server_->errorString();
        return false;
    }
    return true;
}

quint16 SimMachine::serverPort() const {
    return server_ && server_->isListening() ? server_->serverPort() : 0;
}

void SimMachine::connectToPc(const QString& host, quint16 port) {
    pcHost_ = host;
    pcPort_ = port;
}

void SimMachine::attachSerial(SerialPort* port) {
    if (serial_) {
        channels_.removeAll(serial_);
        serial_->deleteLater();
    }
    serial_ = nullptr;
    if (!port) return;
    auto* channel = new SerialChannel(port, this);
    serial_ = channel;
    addChannel(channel);
    if (auto* memory = qobject_cast<MemorySerialPort*>(port); memory && !ownCtsDrive_) {
        QPointer<MemorySerialPort> line(memory);
        ctsDrive_ = [line](bool on) {
            if (line) line->setRts(on);
        };
        ctsDrive_(!ctsLow_);
    }
}

void SimMachine::setCtsLine(std::function<void(bool)> drive) {
    ctsDrive_ = std::move(drive);
    ownCtsDrive_ = bool(ctsDrive_);
    if (ctsDrive_) ctsDrive_(!ctsLow_);
}

void SimMachine::addChannel(Channel* channel) {
    channels_.append(channel);
    channel->setProgramRule([this](const QByteArray& head) { return programFor(head); });
    connect(channel, &Channel::messageReceived, this,
            [this, channel](const QByteArray& m, IncomingProgram* program) { onMessage(channel, {m, program}); });
    connect(channel, &Channel::closed, this, [this, channel] { onChannelClosed(channel); });
    connect(channel, &Channel::drained, this, [this, channel] { onDrained(channel); });
}

void SimMachine::onChannelClosed(Channel* channel) {
    if (!channels_.contains(channel)) return;
    log(QStringLiteral("--"), channel, "closed");
    channels_.removeAll(channel);
    if (client_ == channel) client_ = nullptr;
    if (serial_ == channel) serial_ = nullptr;
    if (pending_ && pending_->channel == channel) {
        Q_EMIT logLine(pending_->sent ? QStringLiteral("-- link lost before the PC answered")
                                      : QStringLiteral("-- request not sent: no connection to the PC"));
        finish(false, {});
    }
    channel->deleteLater();
}

Channel* SimMachine::clientChannel() {
    if (client_) return client_;
    if (pcHost_.isEmpty()) return nullptr;
    auto* socket = new QTcpSocket;
    auto* channel = new TcpChannel(socket, this);
    client_ = channel;
    addChannel(channel);
    connect(socket, &QTcpSocket::connected, this, [this, channel] {
        log(QStringLiteral("++"), channel, "connected to the PC");
        if (pending_ && pending_->channel == channel && !pending_->sent) sendPending();
    });
    connect(socket, &QAbstractSocket::errorOccurred, this, [this, channel, socket] {
        error_ = socket->errorString();
        Q_EMIT logLine(QStringLiteral("-- %1: %2").arg(channel->describe(), error_));
        if (socket->state() != QAbstractSocket::ConnectedState) onChannelClosed(channel);
    });
    socket->connectToHost(pcHost_, pcPort_);
    return channel;
}

// --- Faults -----------------------------------------------------------------

void SimMachine::setErrorStatus(const QByteArray& status, Scope scope) {
    errorStatus_ = status;
    errorScope_ = status.isEmpty() ? Scope::Off : scope;
}

void SimMachine::setSplit(int bytes, int delayMs) {
    splitBytes_ = std::max(0, bytes);
    splitDelayMs_ = std::max(0, delayMs);
}

void SimMachine::setCtsLow(bool low) {
    ctsLow_ = low;
    if (ctsDrive_) ctsDrive_(!low);
}

void SimMachine::clearFaults() {
    badChecksum_ = Scope::Off;
    setErrorStatus({});
    silent_ = Scope::Off;
    setSplit(0, 0);
    trickleMs_ = 0;
    drop_ = Scope::Off;
    corruptStore_ = Scope::Off;
    setCtsLow(false);
}

bool SimMachine::applyFault(const QString& text, QString* error) {
    const QString t = text.trimmed().toLower();
    auto number = [](const QString& s, int* out) {
        bool ok = false;
        *out = s.toInt(&ok);
        return ok && *out >= 0;
    };
    int a = 0;
    int b = 0;
    if (t == QLatin1String("checksum")) setBadChecksum(Scope::All);
    else if (t == QLatin1String("checksum-next")) setBadChecksum(Scope::Next);
    else if (t == QLatin1String("silent")) setSilent(Scope::All);
    else if (t == QLatin1String("silent-next")) setSilent(Scope::Next);
    else if (t == QLatin1String("drop")) setDropHalfway(Scope::All);
    else if (t == QLatin1String("drop-next")) setDropHalfway(Scope::Next);
    else if (t == QLatin1String("cts-low")) setCtsLow(true);
    else if (t == QLatin1String("corrupt-store")) setCorruptStore(Scope::All);
    else if (t == QLatin1String("corrupt-store-next")) setCorruptStore(Scope::Next);
    else if (t.startsWith(QLatin1String("status=")) && t.size() == 9) setErrorStatus(t.mid(7).toLatin1());
    else if (t.startsWith(QLatin1String("trickle=")) && number(t.mid(8), &a) && a > 0) setTrickle(a);
    else if (t.startsWith(QLatin1String("split=")) && t.count(QLatin1Char(':')) == 1 &&
             number(t.mid(6).section(QLatin1Char(':'), 0, 0), &a) && a > 0 &&
             number(t.section(QLatin1Char(':'), 1, 1), &b))
        setSplit(a, b);
    else {
        if (error) *error = QStringLiteral("unknown fault: %1").arg(text);
        return false;
    }
    return true;
}

bool SimMachine::consume(Scope& scope) {
    if (scope == Scope::Off) return false;
    if (scope == Scope::Next) scope = Scope::Off;
    return true;
}

// --- Sending ----------------------------------------------------------------

bool SimMachine::sendMessage(Channel* channel, const QByteArray& message) {
    return sendMessage(channel, std::make_unique<OutgoingMessage>(message));
}

std::unique_ptr<OutgoingMessage> SimMachine::programMessage(const QByteArray& head, const QString& name) const {
    const QString path = programPath(name);
    const bool two = protocol_ == Protocol::Two;
    const bool crlf = lineEnd_ == LineEnd::CrLf;
    if (QFileInfo(path).size() + head.size() <= IncomingProgram::kWhole) {
        const QByteArray body = program(name);
        if (two) return std::make_unique<OutgoingMessage>(CloseMachineMessage(head + body, lineEnd_));
        return std::make_unique<OutgoingMessage>(head + body + '%');
    }
    // Longer programs are read from their file as the link drains.
    OutgoingMessage::Closing closing = [](quint32) { return QByteArrayLiteral("%"); };
    if (two) {
        closing = [crlf](quint32 sum) {
            const QByteArray cr = crlf ? QByteArrayLiteral("\r") : QByteArray();
            return cr + '\n' + ChecksumDigits(sum + (crlf ? '\r' : 0)) + '%';
        };
    }
    auto message = std::make_unique<OutgoingMessage>(head, path, std::move(closing));
    if (!message->open()) return std::make_unique<OutgoingMessage>(QByteArray());
    return message;
}

bool SimMachine::sendMessage(Channel* channel, std::unique_ptr<OutgoingMessage> message) {
    if (protocol_ == Protocol::Two && consume(badChecksum_)) message->corruptChecksum();
    Pacing pacing;
    if (trickleMs_ > 0) {
        pacing.pieceBytes = 1;
        pacing.delayMs = trickleMs_;
    } else if (splitBytes_ > 0) {
        pacing.pieceBytes = splitBytes_;
        pacing.delayMs = splitDelayMs_;
    }
    pacing.dropHalfway = consume(drop_);
    lastSent_ = message->text();
    log(QStringLiteral("->"), channel, lastSent_);
    Q_EMIT messageSent(lastSent_);
    channel->send(std::move(message), pacing);
    return !pacing.dropHalfway;
}

void SimMachine::reply2(Channel* channel, const QByteArray& text) {
    sendMessage(channel, CloseMachineMessage(text, lineEnd_));
}

// --- Receiving --------------------------------------------------------------

std::unique_ptr<IncomingProgram> SimMachine::programFor(const QByteArray& head) const {
    qsizetype start = -2;
    if (protocol_ == Protocol::Two) {
        const Frame2 f = ReadFrame2(head);
        // A program the PC stores, or its answer to the machine's own Load.
        if ((f.type == 'C' && f.command == "SAV") || (f.type == 'R' && f.command == "LOD"))
            start = IncomingProgram::kFrame2;
    } else {
        const Message1 m = ReadMessage1(head);
        if (m.kind == Message1::Store) start = m.colon ? 10 : 12;
    }
    if (start == -2) return nullptr;
    return std::make_unique<IncomingProgram>(folder_, start);
}

bool SimMachine::keep(const QString& name, const Incoming& in, const QByteArray& body) {
    if (!in.program) {
        if (!storeProgram(name, body)) return false;
        if (consume(corruptStore_)) corrupt(programPath(name));
        return true;
    }
    if (!IsSafeProgramName(ToAnsi(name))) return false;
    QString path = programPath(name);
    if (path.isEmpty()) path = JoinPath(folder_, name);
    if (!in.program->commit(path)) {
        error_ = in.program->errorString();
        return false;
    }
    if (consume(corruptStore_)) corrupt(path);
    Q_EMIT programStored(name);
    return true;
}

// One character in the middle of the program changed; line ends are left
// alone so that the program keeps its lines.
void SimMachine::corrupt(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite)) return;
    for (qint64 at = f.size() / 2; at < f.size(); ++at) {
        char c = 0;
        if (!f.seek(at) || !f.getChar(&c)) return;
        if (c == '\r' || c == '\n') continue;
        f.seek(at);
        f.putChar(c == 'Z' ? 'Y' : 'Z');
        Q_EMIT logLine(QStringLiteral("-- corrupt-store: character %1 changed").arg(at + 1));
        return;
    }
}

void SimMachine::onMessage(Channel* channel, const Incoming& in) {
    lastReceived_ = in.message;
    log(QStringLiteral("<-"), channel, in.message);
    Q_EMIT messageReceived(in.message);
    if (protocol_ == Protocol::Two) handle2(channel, in);
    else handle1(channel, in);
}

void SimMachine::log(const QString& direction, Channel* channel, const QByteArray& message) {
    // Long programs are logged by their beginning and size only.
    constexpr qsizetype kQuote = 200;
    QString text = FromAnsi(Printable(message.left(kQuote)));
    if (message.size() > kQuote) text += QStringLiteral(" ... (%1 bytes)").arg(message.size());
    Q_EMIT logLine(QStringLiteral("%1 %2: %3").arg(direction, channel->describe(), text));
}
