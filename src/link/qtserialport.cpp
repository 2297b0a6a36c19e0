#include "link/qtserialport.h"
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#include "config/generalsettings.h"
#include "link/serialthread.h"

#include <QMetaObject>
#include <QThread>
#include <utility>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#endif

qint64 SystemOutputQueue(qintptr handle) {
#if defined(Q_OS_UNIX) && defined(TIOCOUTQ)
    int n = 0;
    if (handle >= 0 && ::ioctl(int(handle), TIOCOUTQ, &n) == 0 && n > 0) return n;
#else
    // Elsewhere QSerialPort's own count is what is known.
    Q_UNUSED(handle);
#endif
    return 0;
}

// QSerialPort is not safe to touch from two threads: a call from another
// thread than the port's runs on the port's and waits for it there.
bool QtSerialPort::elsewhere() const {
    QThread* t = thread();
    return t && t != QThread::currentThread() && t->isRunning();
}

QtSerialPort::QtSerialPort(QObject* parent) : SerialPort(parent), port_(new QSerialPort(this)) {
    modemPoll_.setParent(this);  // they move with the port
    drainPoll_.setParent(this);
    modemPoll_.setInterval(ModemPollMs);
    connect(&modemPoll_, &QTimer::timeout, this, &QtSerialPort::pollModemLines);
    drainPoll_.setInterval(DrainPollMs);
    connect(&drainPoll_, &QTimer::timeout, this, &QtSerialPort::onDrainPoll);
    connect(port_, &QSerialPort::readyRead, this, &QtSerialPort::onReadyRead);
    connect(port_, &QSerialPort::bytesWritten, this, [this](qint64) {
        if (!isOpen() || port_->bytesToWrite() > 0) return;
        // The system still sends what it holds; its ticks also wake a sender
        // waiting for the buffer to drain.
        if (SystemOutputQueue(handle()) > 0) drainPoll_.start();
        else Q_EMIT commEvent(EvSend);
    });
    connect(port_, &QSerialPort::errorOccurred, this, &QtSerialPort::onError);
}

QtSerialPort::~QtSerialPort() {
    port_->disconnect(this);
    close();
}

void QtSerialPort::setCommPort(int n) {
    if (elsewhere()) return OnThreadOf(this, [&] { return setCommPort(n); });
    commPort_ = n;
    explicitDevice_.clear();
}

int QtSerialPort::commPort() const {
    if (elsewhere()) return OnThreadOf(this, [&] { return commPort(); });
    return commPort_;
}

void QtSerialPort::setDevice(const QString& path) {
    if (elsewhere()) return OnThreadOf(this, [&] { return setDevice(path); });
    explicitDevice_ = path;
}

QString QtSerialPort::device() const {
    if (elsewhere()) return OnThreadOf(this, [&] { return device(); });
    if (port_->isOpen()) return openDevice_;
    if (!explicitDevice_.isEmpty()) return explicitDevice_;
    // The general settings are read at every open, so a changed [ComPorts]
    // entry takes effect without a restart.
    return commPort_ >= 1 ? ComPortDevice(commPort_) : QString();
}

qintptr QtSerialPort::handle() const {
    if (elsewhere()) return OnThreadOf(this, [&] { return handle(); });
    return port_->isOpen() ? qintptr(port_->handle()) : -1;
}

bool QtSerialPort::setSettings(const QString& settings) {
    if (elsewhere()) return OnThreadOf(this, [&] { return setSettings(settings); });
    settings_ = settings;
    SerialSettings s;
    if (!ParseSerialSettings(settings, s)) {
        error_ = QStringLiteral("Ogiltiga portinställningar: \"%1\"").arg(settings);
        return false;
    }
    return isOpen() ? apply(s) : true;
}

QString QtSerialPort::settings() const {
    if (elsewhere()) return OnThreadOf(this, [&] { return settings(); });
    return settings_;
}

// Why a device would not open, in words the operator can act on.
QString SerialOpenFailure(const QString& dev, bool missing, bool denied, bool busy, const QString& qtText) {
    if (missing) return QStringLiteral("%1 finns inte (ingen sådan enhet). Är adaptern ansluten?").arg(dev);
    if (denied)
        return QStringLiteral("ingen behörighet till %1: användaren måste vara med i gruppen dialout.").arg(dev);
    if (busy) {
        // The lock file QSerialPort itself makes ("LCK.." and the port's name
        // with "/" as "_", the name without "/dev/"), in the folders it
        // looks in, names the process that holds the port; so does the usual
        // uucp lock of the device's own name.
        QString name = dev.startsWith(QLatin1String("/dev/")) ? dev.mid(5) : dev;
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        QStringList names{QStringLiteral("LCK..") + name};
        const QString base = QStringLiteral("LCK..") + QFileInfo(dev).fileName();
        if (!names.contains(base)) names << base;
        for (const QString& lockName : std::as_const(names))
            for (const char* dir : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp", "/var/tmp",
                                    "/var/lock/lockdev", "/run/lock"}) {
                QFile lock(QLatin1String(dir) + QLatin1Char('/') + lockName);
                if (!lock.open(QIODevice::ReadOnly)) continue;
                // Qt's lock holds the pid on its first line; a uucp lock only the pid.
                const qint64 pid = lock.readLine(64).trimmed().toLongLong();
                if (pid <= 0) continue;
                QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
                const QString what = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed())
                                                                     : QString();
                return what.isEmpty() ? QStringLiteral("%1 är upptagen av process %2.").arg(dev).arg(pid)
                                      : QStringLiteral("%1 är upptagen av process %2 (%3).").arg(dev).arg(pid).arg(what);
            }
        return QStringLiteral("%1 är upptagen av ett annat program.").arg(dev);
    }
    return QStringLiteral("%1: %2").arg(dev, qtText);
}

QString QtSerialPort::OpenFailure(const QString& dev, int error, const QString& qtText) const {
    const QFileInfo info(dev);
    const bool missing = error == QSerialPort::DeviceNotFoundError || !info.exists();
#ifdef Q_OS_UNIX
    const bool denied = !missing && ::access(QFile::encodeName(dev).constData(), R_OK | W_OK) != 0 && errno == EACCES;
#else
    const bool denied = false;
#endif
    const bool busy = !missing && !denied && error == QSerialPort::PermissionError;
    return SerialOpenFailure(dev, missing, denied, busy, qtText);
}

bool QtSerialPort::open() {
    if (elsewhere()) return OnThreadOf(this, [&] { return open(); });
    if (isOpen()) {
        error_ = QStringLiteral("Porten är redan öppen.");
        return false;
    }
    close();  // a hung-up port whose close is still pending
    SerialSettings s;
    if (!ParseSerialSettings(settings_, s)) {
        error_ = QStringLiteral("Ogiltiga portinställningar: \"%1\"").arg(settings_);
        return false;
    }
    const QString dev = device();
    if (dev.isEmpty()) {
        error_ = QStringLiteral("Ogiltigt portnummer: %1").arg(commPort_);
        return false;
    }
    port_->setPortName(dev);
    // QSerialPort applies what it holds while opening and fails the open when
    // the device refuses any of it; open plainly and set the framing after.
    port_->setBaudRate(QSerialPort::Baud9600);
    port_->setDataBits(QSerialPort::Data8);
    port_->setParity(QSerialPort::NoParity);
    port_->setStopBits(QSerialPort::OneStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!port_->open(QIODevice::ReadWrite)) {
        error_ = OpenFailure(dev, port_->error(), port_->errorString());
        port_->clearError();
        return false;
    }
    openDevice_ = dev;
    hungUp_ = false;
    ++generation_;
    QSerialPort::PinoutSignals pins;
    linesReadable_ = readLines(&pins);
    if (!apply(s)) {
        close();
        return false;
    }
    applyFlowControl();
    // A pseudo-terminal hands each write on at once and counts nothing; a
    // device without modem lines is no UART either.
#if defined(Q_OS_UNIX) && defined(TIOCOUTQ)
    queueKnown_ = linesReadable_ && !QFileInfo(dev).canonicalFilePath().startsWith(QLatin1String("/dev/pts/"));
#else
    queueKnown_ = false;
#endif
    if (linesReadable_) {
        cts_ = pins.testFlag(QSerialPort::ClearToSendSignal);
        dsr_ = pins.testFlag(QSerialPort::DataSetReadySignal);
        cd_ = pins.testFlag(QSerialPort::DataCarrierDetectSignal);
        modemPoll_.start();
    }
    error_.clear();
    return true;
}

bool QtSerialPort::apply(const SerialSettings& s) {
    if (!port_->setBaudRate(s.baud)) {
        error_ = QStringLiteral("%1: hastigheten %2 godtas inte (%3)").arg(openDevice_).arg(s.baud).arg(port_->errorString());
        port_->clearError();
        return false;
    }
    bool framed = s.dataBits >= 5 && port_->setDataBits(static_cast<QSerialPort::DataBits>(s.dataBits));
    QSerialPort::Parity parity = QSerialPort::NoParity;
    switch (s.parity) {
    case 'e': parity = QSerialPort::EvenParity; break;
    case 'o': parity = QSerialPort::OddParity; break;
    case 'm': parity = QSerialPort::MarkParity; break;
    case 's': parity = QSerialPort::SpaceParity; break;
    default: break;
    }
    framed = port_->setParity(parity) && framed;
    markLineErrors(parity != QSerialPort::NoParity);
    bool stop;
    if (s.stopOneAndHalf)
        stop = port_->setStopBits(QSerialPort::OneAndHalfStop) || port_->setStopBits(QSerialPort::TwoStop);
    else
        stop = port_->setStopBits(s.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    framed = stop && framed;
    port_->clearError();
    // A pseudo-terminal keeps 8N1 whatever it is told and has no modem lines;
    // a device with modem lines that refuses the framing is a real refusal.
    if (!framed && linesReadable_) {
        error_ = QStringLiteral("%1: inställningarna \"%2\" godtas inte").arg(openDevice_, settings_);
        return false;
    }
    return true;
}

void QtSerialPort::setHardwareFlowControl(bool on) {
    if (elsewhere()) return OnThreadOf(this, [&] { return setHardwareFlowControl(on); });
    hardwareFlow_ = on;
    applyFlowControl();
}

void QtSerialPort::applyFlowControl() {
    if (!port_->isOpen()) return;
    // A device without the lines may refuse it and still carry bytes.
    port_->setFlowControl(hardwareFlow_ ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl);
    port_->clearError();
}

void QtSerialPort::markLineErrors(bool on) {
    // QSerialPort's setParity() has just cleared the marking, if there was any.
    marking_ = false;
    marks_.reset();
#ifdef Q_OS_UNIX
    const int fd = int(handle());
    termios tio;
    if (!on || fd < 0 || ::tcgetattr(fd, &tio) != 0) return;
    tio.c_iflag |= INPCK | PARMRK;
    // ISTRIP would cut eight-bit characters; a break must arrive as a mark,
    // not as a signal or nothing.
    tio.c_iflag &= ~(IGNPAR | ISTRIP | IGNBRK | BRKINT);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0 || ::tcgetattr(fd, &tio) != 0) return;
    marking_ = (tio.c_iflag & PARMRK) != 0;
#else
    Q_UNUSED(on);
#endif
}

void QtSerialPort::close() {
    if (elsewhere()) return OnThreadOf(this, [&] { return close(); });
    modemPoll_.stop();
    drainPoll_.stop();
    marking_ = false;
    marks_.reset();
    received_.clear();
    receivePending_ = false;
    hungUp_ = false;
    ++generation_;
    if (port_->isOpen()) port_->close();
    port_->clearError();
}

bool QtSerialPort::isOpen() const {
    if (elsewhere()) return OnThreadOf(this, [&] { return isOpen(); });
    return port_->isOpen() && !hungUp_;
}

QString QtSerialPort::errorString() const {
    if (elsewhere()) return OnThreadOf(this, [&] { return errorString(); });
    return error_;
}

QByteArray QtSerialPort::readAll() {
    if (elsewhere()) return OnThreadOf(this, [&] { return readAll(); });
    receivePending_ = false;
    if (!port_->isOpen()) return {};
    if (!marking_) {
        LineErrorMarks::Found none;
        takeReceived(&none);
        return std::exchange(received_, {});
    }
    QByteArray data = std::exchange(received_, {});
    // Bytes that came since the last receive event may carry marks, whose
    // events must come before their characters: they get an event of their own.
    if (port_->bytesAvailable() > 0) {
        const quint64 generation = generation_;
        QMetaObject::invokeMethod(
            this, [this, generation] { if (generation == generation_) onReadyRead(); }, Qt::QueuedConnection);
    }
    return data;
}

void QtSerialPort::takeReceived(LineErrorMarks::Found* found) {
    QByteArray bytes = port_->readAll();
    if (bytes.isEmpty()) return;
    if (marking_) bytes = marks_.unmark(bytes, found);
    noteFlow(bytes);
    received_ += bytes;
}

bool QtSerialPort::report(int code, quint64 generation) {
    Q_EMIT commEvent(code);
    return generation == generation_ && isOpen();
}

void QtSerialPort::onReadyRead() {
    if (!isOpen()) return;
    LineErrorMarks::Found found;
    takeReceived(&found);
    if (!marking_) {
        tellReceived();
        return;
    }
    // The error first, so that no message with a damaged character is taken
    // as complete; the link's abort then drops the rest.
    const quint64 generation = generation_;
    if (found.breaks > 0 && !report(EventBreak, generation)) return;
    // The system marks parity and framing errors alike; with parity on, the
    // parity error is the likely one.
    if (found.errors > 0 && !report(EventRxParity, generation)) return;
    if (!received_.isEmpty()) tellReceived();
}

// One receive event until the reader has read: a reader on a busy thread
// finds one event and everything that came meanwhile.
void QtSerialPort::tellReceived() {
    if (receivePending_) return;
    receivePending_ = true;
    Q_EMIT commEvent(EvReceive);
}

void QtSerialPort::onDrainPoll() {
    // While QSerialPort holds bytes its own bytesWritten() comes again.
    if (!isOpen() || port_->bytesToWrite() > 0) {
        drainPoll_.stop();
        return;
    }
    if (SystemOutputQueue(handle()) > 0) return;
    drainPoll_.stop();
    Q_EMIT commEvent(EvSend);
}

void QtSerialPort::write(const QByteArray& data) {
    if (elsewhere()) return OnThreadOf(this, [&] { return write(data); });
    if (!isOpen()) {
        error_ = QStringLiteral("Porten är inte öppen.");
        return;
    }
    port_->write(data);
}

qint64 QtSerialPort::outBufferCount() const {
    if (elsewhere()) return OnThreadOf(this, [&] { return outBufferCount(); });
    if (!isOpen()) return 0;
    return port_->bytesToWrite() + SystemOutputQueue(handle());
}

bool QtSerialPort::reportsQueue() const {
    if (elsewhere()) return OnThreadOf(this, [&] { return reportsQueue(); });
    return queueKnown_;
}

void QtSerialPort::clearInput() {
    if (elsewhere()) return OnThreadOf(this, [&] { return clearInput(); });
    if (!isOpen()) return;
    port_->clear(QSerialPort::Input);
    port_->readAll();
    received_.clear();
    receivePending_ = false;
    marks_.reset();
}

bool QtSerialPort::readLines(QSerialPort::PinoutSignals* pins) const {
    port_->clearError();
    *pins = port_->pinoutSignals();
    if (port_->error() == QSerialPort::NoError) return true;
    port_->clearError();
    linesReadable_ = false;
    return false;
}

bool QtSerialPort::modemStatus(bool* cts, bool* dsr) const {
    if (elsewhere()) return OnThreadOf(this, [&] { return modemStatus(cts, dsr); });
    if (cts) *cts = false;
    if (dsr) *dsr = false;
    if (!isOpen() || !linesReadable_) return false;
    QSerialPort::PinoutSignals pins;
    if (!readLines(&pins)) return false;
    if (cts) *cts = pins.testFlag(QSerialPort::ClearToSendSignal);
    if (dsr) *dsr = pins.testFlag(QSerialPort::DataSetReadySignal);
    return true;
}

void QtSerialPort::pollModemLines() {
    QSerialPort::PinoutSignals pins;
    if (!isOpen() || !readLines(&pins)) {
        modemPoll_.stop();
        return;
    }
    const quint64 generation = generation_;
    const bool cts = pins.testFlag(QSerialPort::ClearToSendSignal);
    const bool dsr = pins.testFlag(QSerialPort::DataSetReadySignal);
    const bool cd = pins.testFlag(QSerialPort::DataCarrierDetectSignal);
    // A handler may close the port; later changes then belong to no one.
    if (cts != cts_) {
        cts_ = cts;
        Q_EMIT commEvent(EvCTS);
        if (generation != generation_) return;
    }
    if (dsr != dsr_) {
        dsr_ = dsr;
        Q_EMIT commEvent(EvDSR);
        if (generation != generation_) return;
    }
    if (cd != cd_) {
        cd_ = cd;
        Q_EMIT commEvent(EvCD);
    }
}

void QtSerialPort::onError(QSerialPort::SerialPortError error) {
    // Other codes come from our own calls, which look at their results.
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError && error != QSerialPort::WriteError)
        return;
    if (!port_->isOpen() || hungUp_) return;
    // After a hang-up QSerialPort repeats the error at every turn of the event
    // loop while it stays open. Closing inside its own notification is unsafe,
    // so the port counts as closed now and really closes on the next turn.
    hungUp_ = true;
    modemPoll_.stop();
    drainPoll_.stop();
    error_ = QStringLiteral("%1: förbindelsen bröts (%2)").arg(openDevice_, port_->errorString());
    const quint64 generation = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != generation_ || !hungUp_) return;
            const QString why = error_;
            close();
            error_ = why;
            Q_EMIT commEvent(EventDCB);
        },
        Qt::QueuedConnection);
}
