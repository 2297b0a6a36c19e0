#include "link/memoryserialport.h"

#include <QMetaObject>
#include <algorithm>

MemorySerialPort::MemorySerialPort(QObject* parent) : SerialPort(parent) {
    drainTimer_.setTimerType(Qt::PreciseTimer);
    drainTimer_.setInterval(DrainTickMs);
    connect(&drainTimer_, &QTimer::timeout, this, &MemorySerialPort::drain);
}

// Each tick drains well under the 33 characters at which a sender refills,
// so a fast line never runs dry between ticks.
void MemorySerialPort::adaptTick() {
    const int ms = static_cast<int>(16.0 * 1000.0 / std::max(1.0, charsPerSecond_));
    drainTimer_.setInterval(std::clamp(ms, 1, DrainTickMs));
}

void MemorySerialPort::setCommPort(int n) { commPort_ = n; }

int MemorySerialPort::commPort() const { return commPort_; }

bool MemorySerialPort::setSettings(const QString& settings) {
    settings_ = settings;
    SerialSettings s;
    if (!ParseSerialSettings(settings, s)) {
        error_ = QStringLiteral("Ogiltiga portinställningar: \"%1\"").arg(settings);
        return false;
    }
    if (open_) {
        drain();  // what was due went out at the old rate
        charsPerSecond_ = CharactersPerSecond(s);
        adaptTick();
        restartClock();
        lastSettings_ = settings;
    }
    return true;
}

QString MemorySerialPort::settings() const { return settings_; }

bool MemorySerialPort::open() {
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
    if (rts_) Q_EMIT rtsChanged(true);
    if (dtr_) Q_EMIT dtrChanged(true);
    return true;
}

void MemorySerialPort::close() {
    if (!open_) return;
    const bool hadRts = rts();
    const bool hadDtr = dtr();
    open_ = false;
    ++session_;
    drainTimer_.stop();
    txBuffer_.clear();
    input_.clear();
    receivePosted_ = false;
    if (hadRts) Q_EMIT rtsChanged(false);
    if (hadDtr) Q_EMIT dtrChanged(false);
}

bool MemorySerialPort::isOpen() const { return open_; }

QString MemorySerialPort::errorString() const { return error_; }

QByteArray MemorySerialPort::readAll() {
    QByteArray data;
    data.swap(input_);
    return data;
}

void MemorySerialPort::write(const QByteArray& data) {
    if (!open_) {
        error_ = QStringLiteral("Porten är inte öppen.");
        return;
    }
    if (data.isEmpty()) return;
    if (instant_) {
        txBuffer_ += data;
        drain();
        return;
    }
    // Settle what was due before these bytes existed, so that a late timer
    // cannot send them early; an idle line starts its clock now.
    drain();
    if (txBuffer_.isEmpty()) restartClock();
    txBuffer_ += data;
    if (!drainTimer_.isActive()) drainTimer_.start();
}

qint64 MemorySerialPort::outBufferCount() const { return txBuffer_.size(); }

void MemorySerialPort::clearInput() { input_.clear(); }

bool MemorySerialPort::modemStatus(bool* cts, bool* dsr) const {
    const bool ok = open_ && linesReadable_;
    if (cts) *cts = ok && cts_;
    if (dsr) *dsr = ok && dsr_;
    return ok;
}

void MemorySerialPort::deliver(const QByteArray& bytes) {
    if (!open_ || bytes.isEmpty()) return;
    input_ += bytes;
    if (receivePosted_) return;  // one event reads everything that came before it
    receivePosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this, session = session_] {
            if (session != session_) return;
            receivePosted_ = false;
            if (open_ && !input_.isEmpty()) Q_EMIT commEvent(EvReceive);
        },
        Qt::QueuedConnection);
}

void MemorySerialPort::setCts(bool on) {
    if (cts_ == on) return;
    cts_ = on;
    post(EvCTS);
}

void MemorySerialPort::setDsr(bool on) {
    if (dsr_ == on) return;
    dsr_ = on;
    post(EvDSR);
}

void MemorySerialPort::raiseEvent(int code) { post(code); }

void MemorySerialPort::setAvailable(bool available) { available_ = available; }

void MemorySerialPort::setModemLinesReadable(bool readable) { linesReadable_ = readable; }

void MemorySerialPort::setInstant(bool instant) {
    instant_ = instant;
    if (instant_) drain();
}

void MemorySerialPort::setRts(bool on) {
    const bool before = rts();
    rts_ = on;
    if (rts() != before) Q_EMIT rtsChanged(rts());
}

void MemorySerialPort::setDtr(bool on) {
    const bool before = dtr();
    dtr_ = on;
    if (dtr() != before) Q_EMIT dtrChanged(dtr());
}

void MemorySerialPort::post(int code) {
    if (!open_) return;
    QMetaObject::invokeMethod(
        this,
        [this, code, session = session_] {
            if (session == session_ && open_) Q_EMIT commEvent(code);
        },
        Qt::QueuedConnection);
}

void MemorySerialPort::restartClock() {
    txClock_.start();
    txSinceClock_ = 0;
}

void MemorySerialPort::drain() {
    if (!open_ || txBuffer_.isEmpty()) {
        drainTimer_.stop();
        return;
    }
    qint64 count = txBuffer_.size();
    if (!instant_) {
        const auto due = static_cast<qint64>(static_cast<double>(txClock_.nsecsElapsed()) * charsPerSecond_ / 1e9);
        count = qMin(count, due - txSinceClock_);
        if (count <= 0) return;
        txSinceClock_ += count;
    }
    const QByteArray piece = txBuffer_.left(count);
    txBuffer_.remove(0, count);
    if (txBuffer_.isEmpty()) {
        drainTimer_.stop();
        post(EvSend);
    }
    sent_ += piece;
    Q_EMIT transmitted(piece);
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
