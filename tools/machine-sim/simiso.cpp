#include "machine-sim/simiso.h"

#include "link/isotape.h"
#include "link/serialport.h"
#include "link/serialthread.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <utility>

SimIsoMachine::SimIsoMachine(const QString& memoryFolder, QObject* parent) : QObject(parent), folder_(memoryFolder) {
    QDir().mkpath(folder_);
    // Children, so that they move with it to its thread.
    holdTimer_.setParent(this);
    runTimer_.setParent(this);
    holdTimer_.setSingleShot(true);
    connect(&holdTimer_, &QTimer::timeout, this, [this] {
        consume();
        if (held_ && buffer_.size() <= low_) flow(true);
    });
    readerOff_.setParent(this);
    readerOff_.setSingleShot(true);
    // The operator starts the next read: the reader is on again.
    connect(&readerOff_, &QTimer::timeout, this, [this] {
        if (held_ && buffer_.size() <= low_) flow(true);
    });
    runTimer_.setTimerType(Qt::PreciseTimer);
    connect(&runTimer_, &QTimer::timeout, this, &SimIsoMachine::runBlock);
}

void SimIsoMachine::attach(SerialPort* port) {
    if (QThread::currentThread() != thread()) return OnThreadOf(this, [&] { attach(port); });
    if (port_) port_->disconnect(this);
    port_ = port;
    if (port_) connect(port_, &SerialPort::commEvent, this, &SimIsoMachine::onEvent);
}

void SimIsoMachine::setBuffer(int size, int high, int low) {
    if (QThread::currentThread() != thread()) return OnThreadOf(this, [&] { setBuffer(size, high, low); });
    size_ = size;
    high_ = high;
    low_ = low;
}

void SimIsoMachine::setDripRate(double blocksPerSecond) {
    if (QThread::currentThread() != thread()) return OnThreadOf(this, [&] { setDripRate(blocksPerSecond); });
    dripRate_ = blocksPerSecond;
}

void SimIsoMachine::setLineWithoutRate(bool on) {
    if (QThread::currentThread() != thread()) return OnThreadOf(this, [&] { setLineWithoutRate(on); });
    noRate_ = on;
}

QByteArray SimIsoMachine::lastProgram() const {
    QMutexLocker lock(&seen_);
    return lastProgram_;
}

QByteArray SimIsoMachine::lastBlock() const {
    QMutexLocker lock(&seen_);
    return lastBlock_;
}

QList<QByteArray> SimIsoMachine::firstBlocks() const {
    QMutexLocker lock(&seen_);
    return firstBlocks_;
}

bool SimIsoMachine::applyFault(const QString& text, QString* error) {
    if (QThread::currentThread() != thread()) return OnThreadOf(this, [&] { return applyFault(text, error); });
    if (text == QLatin1String("parity")) parity_ = true;
    else if (text == QLatin1String("cut")) cut_ = true;
    else if (text.startsWith(QLatin1String("stop-at-end="))) readerOffMs_ = text.mid(12).toInt();
    else if (text.startsWith(QLatin1String("xoff-hold="))) holdMs_ = text.mid(10).toInt();
    else if (text == QLatin1String("read-while-held")) readWhileHeld_ = true;
    else {
        if (error) *error = QStringLiteral("unknown fault for --protocol iso: ") + text;
        return false;
    }
    return true;
}

bool SimIsoMachine::request(const QString& text, QString* error) {
    if (QThread::currentThread() != thread()) return OnThreadOf(this, [&] { return request(text, error); });
    const QStringList w = text.simplified().split(QLatin1Char(' '));
    const QString verb = w.value(0).toUpper();
    if (verb == QLatin1String("PUNCH") && w.size() == 2) {
        const QByteArray body = program(w[1]);
        if (body.isEmpty()) {
            if (error) *error = QStringLiteral("no program %1 in memory").arg(w[1]);
            return false;
        }
        punch(body);
    } else if ((verb == QLatin1String("SAND") || verb == QStringLiteral("SÄND")) && w.size() == 2) {
        // A 7-bit control has no "Ä": the keyword is punched as it types it.
        punch(w[1].toLatin1() + " (SAND)\n");
    } else if (verb == QLatin1String("LIST") && w.size() == 1) {
        punch("(LISTA)\n");
    } else {
        if (error) *error = QStringLiteral("unknown request for --protocol iso: ") + text;
        return false;
    }
    return true;
}

QByteArray SimIsoMachine::program(const QString& name) const {
    QFile f(QDir(folder_).filePath(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool SimIsoMachine::storeProgram(const QString& name, const QByteArray& text) {
    QFile f(QDir(folder_).filePath(name));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

void SimIsoMachine::onEvent(int code) {
    if (code == SerialPort::EvReceive && port_) take(port_->readAll());
}

void SimIsoMachine::take(const QByteArray& incoming) {
    QByteArray data = incoming;
    if (noRate_ && !readWhileHeld_) {
        unread_ += incoming;
        if (held_) return;  // read on after the DC1
        data = std::exchange(unread_, {});
    }
    // Storing without a hold, memory keeps up with any line.
    const bool direct = dripRate_ <= 0 && holdMs_ <= 0;
    // On a line with a rate, what came in one read was on its way before a DC3
    // raised in that read could leave: a control reading in hardware would
    // have sent it in time. This one, on a loaded machine, reads late; it
    // keeps those characters rather than blame the PC for its own delay.
    bool raisedNow = false;
    for (qsizetype i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (held_ && !raisedNow && ++afterXoff_ > mostAfterXoff_) mostAfterXoff_ = afterXoff_;
        if (c == 0 || c == iso::DC1 || c == iso::DC2 || c == iso::DC3 || c == iso::DC4) continue;
        if (buffer_.size() >= size_ && !direct && !raisedNow) {
            if (overruns_++ == 0) Q_EMIT logLine(QStringLiteral("!! bufferten full: tecken förlorade"));
            continue;
        }
        buffer_ += c;
        // The reader goes off as the closing "%" comes in.
        if (c == '%' && readerOffMs_ > 0 && ++percents_ % 2 == 0) {
            if (!held_) flow(false);
            readerOff_.start(readerOffMs_);
        }
        // Each character counts as it comes: DC3 goes at the mark, not after a read.
        if (!direct && buffer_.size() >= high_ && !held_) {
            flow(false);
            raisedNow = !noRate_;
            if (holdMs_ > 0) holdTimer_.start(holdMs_);
        }
        if (noRate_ && held_ && !readWhileHeld_) {
            unread_ = data.mid(i + 1);
            break;
        }
    }
    if (holdTimer_.isActive()) return;
    if (dripRate_ > 0) {
        if (!runTimer_.isActive() && buffer_.contains('\n'))
            runTimer_.start(qBound(1, int(1000 / dripRate_), 1000));
        return;
    }
    // With a hold, memory takes the buffer in only when it is full, or at
    // the program's end.
    const bool closes = buffer_.count('%') + (inProgram_ ? 1 : 0) >= 2;
    if (holdMs_ > 0 && !closes) return;
    consume();
    if (held_ && buffer_.size() <= low_ && !holdTimer_.isActive()) flow(true);
}

// Store mode: everything read goes into the program under way.
void SimIsoMachine::consume() {
    if (dripRate_ > 0) {
        if (!runTimer_.isActive() && buffer_.contains('\n'))
            runTimer_.start(qBound(1, int(1000 / dripRate_), 1000));
        return;
    }
    for (const char c : std::as_const(buffer_)) {
        if (c != '%') {
            if (inProgram_) program_ += c;
            continue;
        }
        if (inProgram_) {
            QByteArray text = program_;
            text.replace("\r\n", "\n");
            while (text.startsWith('\n')) text.remove(0, 1);
            QString name = iso::ProgramNumber(text);
            if (name.isEmpty()) name = QStringLiteral("UTAN-NUMMER");
            storeProgram(name, text);
            {
                QMutexLocker lock(&seen_);
                lastProgram_ = text;
            }
            Q_EMIT logLine(QStringLiteral("<- program %1 (%2 tecken)").arg(name).arg(text.size()));
            Q_EMIT programReceived(name);
            program_.clear();
        }
        inProgram_ = !inProgram_;
    }
    buffer_.clear();
}

// Drip mode: the blocks run at their rate, as many as are due.
void SimIsoMachine::runBlock() {
    const qsizetype lf = buffer_.indexOf('\n');
    if (lf < 0) {
        runTimer_.stop();
        return;
    }
    QByteArray block = buffer_.left(lf).trimmed();
    buffer_.remove(0, lf + 1);
    if (block == "%") inProgram_ = !inProgram_;
    else if (!block.isEmpty() && !block.startsWith('%')) {
        {
            QMutexLocker lock(&seen_);
            lastBlock_ = block;
            if (firstBlocks_.size() < 64) firstBlocks_ += block;
        }
        ++blocksRun_;
    }
    // A "%" alone on a line after the last block ends the program.
    if (held_ && buffer_.size() <= low_ && !holdTimer_.isActive()) flow(true);
    if (!buffer_.contains('\n')) runTimer_.stop();
}

void SimIsoMachine::flow(bool xon) {
    if (xon && readerOff_.isActive()) return;
    held_ = !xon;
    if (!xon) ++xoffs_, afterXoff_ = 0;
    if (port_) port_->write(QByteArray(1, xon ? iso::DC1 : iso::DC3));
    // What was left on a line without a rate is read on, once this has returned.
    if (xon && !unread_.isEmpty()) QMetaObject::invokeMethod(this, [this] { take({}); }, Qt::QueuedConnection);
}

void SimIsoMachine::punch(const QByteArray& text) {
    QByteArray body = text;
    if (parity_ && body.size() > 2) {
        body[body.size() / 2] = char(body.at(body.size() / 2) | 0x80);
        parity_ = false;
    }
    QByteArray out = QByteArray(1, iso::DC2) + QByteArray(4, '\0') + "%\n" + body;
    if (cut_) {
        out.truncate(out.size() - body.size() / 2);
        cut_ = false;
    } else {
        out += QByteArray("%\n") + QByteArray(4, '\0') + iso::DC4;
    }
    Q_EMIT logLine(QStringLiteral("-> punch %1 tecken").arg(out.size()));
    if (port_) port_->write(out);
}
