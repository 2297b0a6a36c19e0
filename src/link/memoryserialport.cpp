#include "link/memoryserialport.h"

#include <QMetaObject>
#include <QThread>
#include <algorithm>

MemorySerialPort::MemorySerialPort(QObject* parent) : SerialPort(parent) {
    drainTimer_.setParent(this);  // moves with the port
    drainTimer_.setTimerType(Qt::PreciseTimer);
    drainTimer_.setInterval(DrainTickMs);
    connect(&drainTimer_, &QTimer::timeout, this, &MemorySerialPort::drain);
}

// Each tick drains well under the 33 characters at which a sender refills,
// so a fast line never runs dry between ticks. Called with m_ held.
void MemorySerialPort::adaptTick() {
    const int ms = static_cast<int>(16.0 * 1000.0 / std::max(1.0, charsPerSecond_));
    tickMs_ = std::clamp(ms, 1, DrainTickMs);
}

void MemorySerialPort::kick() {
    if (thread() != QThread::currentThread()) {
        QMetaObject::invokeMethod(this, &MemorySerialPort::kick, Qt::QueuedConnection);
        return;
    }
    int ms;
    {
        QMutexLocker lock(&m_);
        if (!open_ || txBuffer_.isEmpty()) return;
        ms = tickMs_;
    }
    if (!drainTimer_.isActive() || drainTimer_.interval() != ms) drainTimer_.start(ms);
}

void MemorySerialPort::setCommPort(int n) {
    QMutexLocker lock(&m_);
    commPort_ = n;
}

int MemorySerialPort::commPort() const {
    QMutexLocker lock(&m_);
    return commPort_;
}

bool MemorySerialPort::setSettings(const QString& settings) {
    SerialSettings s;
    const bool valid = ParseSerialSettings(settings, s);
    {
        QMutexLocker lock(&m_);
        settings_ = settings;
        if (!valid) {
            error_ = QStringLiteral("Ogiltiga portinställningar: \"%1\"").arg(settings);
            return false;
        }
        if (!open_) return true;
    }
    drain();  // what was due went out at the old rate
    {
        QMutexLocker lock(&m_);
        charsPerSecond_ = CharactersPerSecond(s);
        adaptTick();
        restartClock();
        lastSettings_ = settings;
    }
    kick();
    return true;
}

QString MemorySerialPort::settings() const {
    QMutexLocker lock(&m_);
    return settings_;
}

bool MemorySerialPort::open() {
    bool rts, dtr;
    {
        QMutexLocker lock(&m_);
        if (open_) {
            error_ = QStringLiteral("Porten är redan öppen.");
            return false;
        }
        if (commPort_ < 1) {
            error_ = QStringLiteral("Ogiltigt portnummer: %1").arg(commPort_);
            return false;
        }
        if (!available_) {
            error_ = QStringLiteral("COM%1: porten är upptagen").arg(commPort_);
            return false;
        }
        SerialSettings s;
        if (!ParseSerialSettings(settings_, s)) {
            error_ = QStringLiteral("Ogiltiga portinställningar: \"%1\"").arg(settings_);
            return false;
        }
        charsPerSecond_ = CharactersPerSecond(s);
        adaptTick();
        open_ = true;
        ++session_;
        ++openCount_;
        lastSettings_ = settings_;
        lastCommPort_ = commPort_;
        input_.clear();
        txBuffer_.clear();
        receivePosted_ = false;
        error_.clear();
        rts = rts_;
        dtr = dtr_;
    }
    if (rts) Q_EMIT rtsChanged(true);
    if (dtr) Q_EMIT dtrChanged(true);
    return true;
}

void MemorySerialPort::close() {
    bool hadRts, hadDtr;
    {
        QMutexLocker lock(&m_);
        if (!open_) return;
        hadRts = rts_;
        hadDtr = dtr_;
        open_ = false;
        ++session_;
        txBuffer_.clear();
        input_.clear();
        receivePosted_ = false;
    }
    // The clock's next tick finds the port closed and stops.
    if (hadRts) Q_EMIT rtsChanged(false);
    if (hadDtr) Q_EMIT dtrChanged(false);
}

bool MemorySerialPort::isOpen() const {
    QMutexLocker lock(&m_);
    return open_;
}

QString MemorySerialPort::errorString() const {
    QMutexLocker lock(&m_);
    return error_;
}

QByteArray MemorySerialPort::readAll() {
    QMutexLocker lock(&m_);
    receivePosted_ = false;
    QByteArray data;
    data.swap(input_);
    return data;
}

void MemorySerialPort::write(const QByteArray& data) {
    {
        QMutexLocker lock(&m_);
        if (!open_) {
            error_ = QStringLiteral("Porten är inte öppen.");
            return;
        }
        if (data.isEmpty()) return;
        if (instant_) txBuffer_ += data;
    }
    // Instant: out at once. Otherwise what was due before these bytes existed
    // is settled first, so that a late tick cannot send them early; an idle
    // line starts its clock now.
    drain();
    {
        QMutexLocker lock(&m_);
        if (instant_ || !open_) return;
        if (txBuffer_.isEmpty()) restartClock();
        txBuffer_ += data;
    }
    kick();
}

qint64 MemorySerialPort::outBufferCount() const {
    QMutexLocker lock(&m_);
    return txBuffer_.size();
}

void MemorySerialPort::clearInput() {
    QMutexLocker lock(&m_);
    receivePosted_ = false;
    input_.clear();
}

bool MemorySerialPort::modemStatus(bool* cts, bool* dsr) const {
    QMutexLocker lock(&m_);
    const bool ok = open_ && linesReadable_;
    if (cts) *cts = ok && cts_;
    if (dsr) *dsr = ok && dsr_;
    return ok;
}

void MemorySerialPort::deliver(const QByteArray& bytes) {
    quint64 session;
    bool tell = false;
    {
        QMutexLocker lock(&m_);
        if (!open_ || bytes.isEmpty()) return;
        input_ += bytes;
        // One event until the reader has read: a reader kept busy elsewhere
        // finds one event and everything that came meanwhile.
        tell = !receivePosted_;
        receivePosted_ = true;
        session = session_;
    }
    noteFlow(bytes);  // outside the lock: a sender may look at the port at once
    if (!tell) return;
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            {
                QMutexLocker lock(&m_);
                if (session != session_ || !open_ || input_.isEmpty()) return;
            }
            Q_EMIT commEvent(EvReceive);
        },
        Qt::QueuedConnection);
}

void MemorySerialPort::setCts(bool on) {
    {
        QMutexLocker lock(&m_);
        if (cts_ == on) return;
        cts_ = on;
    }
    post(EvCTS);
}

void MemorySerialPort::setDsr(bool on) {
    {
        QMutexLocker lock(&m_);
        if (dsr_ == on) return;
        dsr_ = on;
    }
    post(EvDSR);
}

bool MemorySerialPort::cts() const {
    QMutexLocker lock(&m_);
    return cts_;
}

bool MemorySerialPort::dsr() const {
    QMutexLocker lock(&m_);
    return dsr_;
}

void MemorySerialPort::raiseEvent(int code) { post(code); }

void MemorySerialPort::setAvailable(bool available) {
    QMutexLocker lock(&m_);
    available_ = available;
}

void MemorySerialPort::setModemLinesReadable(bool readable) {
    QMutexLocker lock(&m_);
    linesReadable_ = readable;
}

void MemorySerialPort::setInstant(bool instant) {
    {
        QMutexLocker lock(&m_);
        instant_ = instant;
    }
    if (instant) drain();
}

bool MemorySerialPort::instant() const {
    QMutexLocker lock(&m_);
    return instant_;
}

void MemorySerialPort::setRts(bool on) {
    bool before, after;
    {
        QMutexLocker lock(&m_);
        before = open_ && rts_;
        rts_ = on;
        after = open_ && rts_;
    }
    if (after != before) Q_EMIT rtsChanged(after);
}

void MemorySerialPort::setDtr(bool on) {
    bool before, after;
    {
        QMutexLocker lock(&m_);
        before = open_ && dtr_;
        dtr_ = on;
        after = open_ && dtr_;
    }
    if (after != before) Q_EMIT dtrChanged(after);
}

bool MemorySerialPort::rts() const {
    QMutexLocker lock(&m_);
    return open_ && rts_;
}

bool MemorySerialPort::dtr() const {
    QMutexLocker lock(&m_);
    return open_ && dtr_;
}

int MemorySerialPort::openCount() const {
    QMutexLocker lock(&m_);
    return openCount_;
}

QString MemorySerialPort::lastSettings() const {
    QMutexLocker lock(&m_);
    return lastSettings_;
}

int MemorySerialPort::lastCommPort() const {
    QMutexLocker lock(&m_);
    return lastCommPort_;
}

qint64 MemorySerialPort::inputCount() const {
    QMutexLocker lock(&m_);
    return input_.size();
}

QByteArray MemorySerialPort::transmittedData() const {
    QMutexLocker lock(&m_);
    return sent_;
}

void MemorySerialPort::clearTransmitted() {
    QMutexLocker lock(&m_);
    sent_.clear();
}

void MemorySerialPort::post(int code) {
    quint64 session;
    {
        QMutexLocker lock(&m_);
        if (!open_) return;
        session = session_;
    }
    QMetaObject::invokeMethod(
        this,
        [this, code, session] {
            {
                QMutexLocker lock(&m_);
                if (session != session_ || !open_) return;
            }
            Q_EMIT commEvent(code);
        },
        Qt::QueuedConnection);
}

// Called with m_ held.
void MemorySerialPort::restartClock() {
    txClock_.start();
    txSinceClock_ = 0;
}

void MemorySerialPort::drain() {
    QMutexLocker order(&order_);
    QByteArray piece;
    bool idle = false, emptied = false;
    {
        QMutexLocker lock(&m_);
        if (!open_ || txBuffer_.isEmpty()) {
            idle = true;
        } else {
            qint64 count = txBuffer_.size();
            if (!instant_) {
                const auto due =
                    static_cast<qint64>(static_cast<double>(txClock_.nsecsElapsed()) * charsPerSecond_ / 1e9);
                count = qMin(count, due - txSinceClock_);
                if (count > 0) txSinceClock_ += count;
            }
            if (count > 0) {
                piece = txBuffer_.left(count);
                txBuffer_.remove(0, count);
                emptied = txBuffer_.isEmpty();
                sent_ += piece;
            }
        }
    }
    if ((idle || emptied) && thread() == QThread::currentThread()) drainTimer_.stop();
    if (emptied) post(EvSend);
    if (!piece.isEmpty()) Q_EMIT transmitted(piece);
}

void ConnectBackToBack(MemorySerialPort& a, MemorySerialPort& b) {
    QObject::connect(&a, &MemorySerialPort::transmitted, &b, &MemorySerialPort::deliver);
    QObject::connect(&b, &MemorySerialPort::transmitted, &a, &MemorySerialPort::deliver);
    QObject::connect(&a, &MemorySerialPort::rtsChanged, &b, &MemorySerialPort::setCts);
    QObject::connect(&b, &MemorySerialPort::rtsChanged, &a, &MemorySerialPort::setCts);
    QObject::connect(&a, &MemorySerialPort::dtrChanged, &b, &MemorySerialPort::setDsr);
    QObject::connect(&b, &MemorySerialPort::dtrChanged, &a, &MemorySerialPort::setDsr);
    b.setCts(a.rts());
    a.setCts(b.rts());
    b.setDsr(a.dtr());
    a.setDsr(b.dtr());
}
