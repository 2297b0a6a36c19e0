#pragma once
// The serial port on a real device, through QSerialPort. Its functions may
// be called from any thread; they run on the port's own.
//
// The sender paces itself by watching CTS and the characters still waiting,
// which include those the system holds (several KB on Linux); RTS/CTS flow
// control by the device stops the line within the UART's own buffer.
// QSerialPort has no signal for the modem lines, so they are read on a short
// timer while the port is open. A device without modem lines (a
// pseudo-terminal) reports modemStatus() false and also keeps whatever framing
// it has: such a device carries bytes, not characters.
//
// QSerialPort reports no parity or framing errors. With parity on, the port
// asks the system to mark them in the received bytes (termios PARMRK, where
// there is termios), raises EventRxParity or EventBreak before the characters
// that came with them and removes the marks.
#include "link/lineerrormarks.h"
#include "link/serialport.h"

#include <QSerialPort>
#include <QTimer>

// Characters the system still holds for sending on the device handle; 0 where
// it cannot tell.
qint64 SystemOutputQueue(qintptr handle);

class QtSerialPort : public SerialPort {
    Q_OBJECT
public:
    // How often the modem lines are read while the port is open.
    static constexpr int ModemPollMs = 50;
    // How often the system's output queue is looked at until it is empty.
    static constexpr int DrainPollMs = 10;

    explicit QtSerialPort(QObject* parent = nullptr);
    ~QtSerialPort() override;

    // Port n names its device through ComPortDevice(n); clears setDevice().
    void setCommPort(int n) override;
    int commPort() const override;
    // Uses a device path as it stands instead of the one port n names, until
    // the next setCommPort(). commPort() keeps its number.
    void setDevice(const QString& path);
    // The device open() uses (the one in use while open).
    QString device() const;
    // The system's handle of the open device (the file descriptor on Unix).
    qintptr handle() const;

    bool setSettings(const QString& settings) override;
    QString settings() const override;

    bool open() override;
    void close() override;
    bool isOpen() const override;
    QString errorString() const override;

    QByteArray readAll() override;
    void write(const QByteArray& data) override;
    qint64 outBufferCount() const override;
    bool reportsQueue() const override;
    void clearInput() override;

    bool modemStatus(bool* cts, bool* dsr) const override;
    void setHardwareFlowControl(bool on) override;

private:
    bool elsewhere() const;
    QString OpenFailure(const QString& dev, int error, const QString& qtText) const;
    bool apply(const SerialSettings& s);
    void applyFlowControl();
    void markLineErrors(bool on);
    // Moves what QSerialPort received through the marks into received_.
    void takeReceived(LineErrorMarks::Found* found);
    // False when a handler closed or reopened the port meanwhile.
    bool report(int code, quint64 generation);
    void onReadyRead();
    void tellReceived();
    void onDrainPoll();
    bool readLines(QSerialPort::PinoutSignals* pins) const;
    void onError(QSerialPort::SerialPortError error);
    void pollModemLines();

    QSerialPort* port_;
    QTimer modemPoll_;
    QTimer drainPoll_;
    int commPort_ = 1;
    QString explicitDevice_;
    QString openDevice_;
    QString settings_ = QStringLiteral("9600,e,7,1");
    QString error_;
    bool hardwareFlow_ = false;
    // Line errors are marked in the received bytes (parity on, where possible).
    bool marking_ = false;
    LineErrorMarks marks_;
    QByteArray received_;
    bool receivePending_ = false;  // a receive event not yet followed by readAll()
    // Set at the first fatal error: the port counts as closed from then on,
    // the real close follows as a posted call.
    bool hungUp_ = false;
    quint64 generation_ = 0;
    mutable bool linesReadable_ = false;
    bool queueKnown_ = false;  // the system counts what it still holds
    bool cts_ = false;
    bool dsr_ = false;
    bool cd_ = false;
};

// Why a serial device would not open, in Swedish: missing, no permission
// (the group dialout), busy (and by which process where a lock file tells).
QString SerialOpenFailure(const QString& dev, bool missing, bool denied, bool busy, const QString& qtText);
