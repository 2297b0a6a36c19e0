#include "link/serialpacer.h"
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <cmath>

SerialPacer::SerialPacer(SerialPort* port) : port_(port) {
    clock_.start();
    port_->setParent(this);
    for (QTimer* t : {&ctsTimer_, &sendTimer_, &drainTick_}) {
        t->setParent(this);
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&ctsTimer_, &QTimer::timeout, this, [this] { onTimeout(true); });
    connect(&sendTimer_, &QTimer::timeout, this, [this] { onTimeout(false); });
    connect(&drainTick_, &QTimer::timeout, this, &SerialPacer::pump);
    // A drained port and a rising CTS move it on at once.
    connect(port_, &SerialPort::commEvent, this, [this](int code) {
        if (code == SerialPort::EvSend || code == SerialPort::EvCTS) pump();
    });
    connect(port_, &SerialPort::flowChanged, this, &SerialPacer::pump);
}

void SerialPacer::start(const Message& m) {
    // Asked before the lock: a port elsewhere answers on the pacer's thread.
    SerialSettings s;
    const bool rated = ParseSerialSettings(port_->settings(), s);
    const bool known = port_->reportsQueue();
    QMutexLocker lock(&m_);
    queueKnown_ = known;
    if (rated) charsPerSecond_ = CharactersPerSecond(s);
    msg_ = m;
    active_ = true;
    last_ = armed_ = draining_ = starving_ = askedMore_ = false;
    backlog_.clear();
    written_ = {};
    state_ = {};
    state_.id = m.id;
    wake();
}

void SerialPacer::feed(quint64 id, const QByteArray& bytes, bool last) {
    QMutexLocker lock(&m_);
    if (!active_ || id != msg_.id) return;
    backlog_ += bytes;
    last_ = last_ || last;
    if (msg_.tape) {
        askedMore_ = false;
        wake();
        return;
    }
    if (starving_ && (last_ || backlog_.size() >= Piece)) {
        starving_ = false;
        wake();
    }
}

qint64 SerialPacer::wanted() const {
    QMutexLocker lock(&m_);
    if (!active_ || last_) return 0;
    const qint64 keep = std::max<qint64>(4096, qint64(charsPerSecond_));
    return std::max<qint64>(0, keep - backlog_.size());
}

SerialPacer::Written SerialPacer::stop() {
    QMutexLocker lock(&m_);
    Written w = written_;
    w.ended = state_.ended;
    active_ = false;
    backlog_.clear();
    state_.stage = Stage::Idle;
    wake();  // its timers stop on its own thread
    return w;
}

qint64 SerialPacer::unsent() const {
    const qint64 counted = port_->outBufferCount();  // outside the lock: it may ask the pacer's thread
    QMutexLocker lock(&m_);
    return queueKnown_ ? counted : std::max(counted, reckoned());
}

qint64 SerialPacer::slack() const {
    QMutexLocker lock(&m_);
    return queueKnown_ ? 0 : qint64(charsPerSecond_ / 50);
}

qint64 SerialPacer::reckoned() const {
    const qint64 ahead = lineFreeNs_ - clock_.nsecsElapsed();
    return ahead <= 0 ? 0 : qint64(std::ceil(double(ahead) * charsPerSecond_ / 1e9));
}

SerialPacer::Snapshot SerialPacer::take() {
    QMutexLocker lock(&m_);
    reported_ = false;
    return state_;
}

// Called with m_ held.
void SerialPacer::wake() {
    if (wakePosted_) return;
    wakePosted_ = true;
    QMetaObject::invokeMethod(this, &SerialPacer::pump, Qt::QueuedConnection);
}

// Called with m_ held.
void SerialPacer::report() {
    if (reported_) return;
    reported_ = true;
    Q_EMIT progressed();
}

bool SerialPacer::ctsPresent(bool* unreadable) const {
    *unreadable = false;
    if (msg_.ignoreCts) return port_->isOpen();
    bool cts = false;
    if (!port_->modemStatus(&cts, nullptr)) {
        *unreadable = port_->isOpen();
        return false;
    }
    return cts;
}

void SerialPacer::onTimeout(bool cts) {
    QMutexLocker lock(&m_);
    // Only the wait it guards: a stopped message or a wait already over is no time-out.
    if (!active_ || (cts ? !armed_ : !draining_)) return;
    // The station's abort follows; nothing more goes out meanwhile.
    active_ = false;
    backlog_.clear();
    Q_EMIT timedOut(msg_.id, cts);
}

void SerialPacer::pump() {
    QMutexLocker lock(&m_);
    wakePosted_ = false;
    if (!active_) {
        for (QTimer* t : {&ctsTimer_, &sendTimer_, &drainTick_}) t->stop();
        return;
    }
    if (msg_.tape) return pumpTape();
    for (;;) {
        if (draining_) {
            // A line that went away drained nothing: the station's abort, or
            // SendTimer, ends the message.
            if (!port_->isOpen()) return;
            const qint64 waiting = port_->outBufferCount();
            if (waiting >= LowMark) {
                // Looked at again halfway to when the line will have sent all
                // but the low mark (the port's send event comes earlier when
                // it runs empty): a late wake leaves the line idle.
                const double ms = 1000.0 * double(waiting - LowMark + 1) / charsPerSecond_ / 2;
                drainTick_.start(std::clamp(int(ms), 1, 1000));
                return;
            }
            draining_ = false;
            sendTimer_.stop();
            state_.stage = Stage::Flowing;
            report();
        }
        if (!armed_) {
            if (backlog_.isEmpty() && last_) {
                active_ = false;
                state_.stage = Stage::Idle;
                state_.ended = true;
                Q_EMIT ended(msg_.id);
                return;
            }
            if (backlog_.size() < Piece && !last_) {
                starving_ = true;
                report();
                return;
            }
            armed_ = true;
            if (msg_.ctsTimeoutMs > 0) ctsTimer_.start(msg_.ctsTimeoutMs);
            state_.stage = Stage::WaitingCts;
            report();
        }
        bool unreadable = false;
        state_.cts = ctsPresent(&unreadable);
        if (unreadable && !state_.linesUnreadable) {
            state_.linesUnreadable = true;
            report();
        }
        if (!state_.cts) return;  // its event moves it on
        ctsTimer_.stop();
        armed_ = false;
        const QByteArray piece = backlog_.left(Piece);
        backlog_.remove(0, piece.size());
        port_->write(piece);
        state_.lastPiece = written_.count;
        written_.count += piece.size();
        state_.written = written_.count;
        for (const char c : piece) written_.sum += static_cast<unsigned char>(c);
        if (msg_.sendTimeoutMs > 0) sendTimer_.start(msg_.sendTimeoutMs);
        if (port_->outBufferCount() >= HighMark) {
            draining_ = true;
            state_.stage = Stage::Draining;
            report();
            continue;
        }
        sendTimer_.stop();
        state_.stage = Stage::Flowing;
        report();
    }
}

// Called with m_ held. After the machine's DC3 has arrived nothing more is
// written, so no more than the window leaves the line after it.
void SerialPacer::pumpTape() {
    using Hold = Message::Hold;
    for (;;) {
        if (!port_->isOpen()) return;  // the station's abort follows
        bool held = false;
        if (msg_.hold == Hold::Xoff) {
            held = port_->xoffHeld();
        } else if (msg_.hold == Hold::Cts) {
            bool unreadable = false;
            held = !ctsPresent(&unreadable);
            state_.cts = !held;
        }
        if (held != state_.held) {
            state_.held = held;
            state_.stage = held ? Stage::WaitingCts : Stage::Flowing;
            report();
        }
        const qint64 queued = queueKnown_ ? port_->outBufferCount() : std::max(port_->outBufferCount(), reckoned());
        // Gone out whole: a DC3 after the last character (a control that
        // stops its reader at the end) holds nothing back. A low CTS still
        // holds what the UART has.
        if (backlog_.isEmpty() && last_ && queued == 0 && (!held || msg_.hold == Hold::Xoff)) {
            active_ = false;
            drainTick_.stop();
            state_.stage = Stage::Idle;
            state_.ended = true;
            report();
            Q_EMIT ended(msg_.id);
            return;
        }
        if (held) return;  // the DC1 or CTS moves it on
        if (backlog_.isEmpty()) {
            if (!last_ && !askedMore_) {
                askedMore_ = true;
                report();
            }
            // The port's send event comes when it has run empty.
            if (queued > 0) drainTick_.start(std::clamp(int(1000.0 * double(queued) / charsPerSecond_), 1, 1000));
            return;
        }
        const qint64 window = msg_.window + (queueKnown_ ? 0 : qint64(charsPerSecond_ / 50));
        const qint64 room = window - queued;
        if (room <= 0) {
            // Looked at again when half the window has left.
            const double ms = 1000.0 * double(queued - window / 2) / charsPerSecond_;
            drainTick_.start(std::clamp(int(ms), 1, 1000));
            return;
        }
        const QByteArray bytes = backlog_.left(room);
        backlog_.remove(0, bytes.size());
        port_->write(bytes);
        const qint64 now = clock_.nsecsElapsed();
        lineFreeNs_ = std::max(lineFreeNs_, now) + qint64(1e9 * double(bytes.size()) / charsPerSecond_);
        written_.count += bytes.size();
        for (const char c : bytes) written_.sum += static_cast<unsigned char>(c);
        state_.written = written_.count;
        // More is asked for while a second of the line is still at hand.
        if (!last_ && !askedMore_ && backlog_.size() < std::max<qint64>(4096, qint64(charsPerSecond_)) / 2) {
            askedMore_ = true;
            report();
        }
    }
}
