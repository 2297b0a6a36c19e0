#pragma once
// The serial port on a real device, through QSerialPort.
//
// No flow control: the sender paces itself by watching CTS. QSerialPort has no
// signal for the modem lines, so they are read on a short timer while the
// port is open. A device without modem lines (a pseudo-terminal) reports
// modemStatus() false and also keeps whatever framing it has: such a device
// carries bytes, not characters.
#include "link/serialport.h"

#include <QSerialPort>
#include <QTimer>

class QtSerialPort : public SerialPort {
    Q_OBJECT
public:
    // How often the modem lines are read while the port is open.
    static constexpr int ModemPollMs = 50;

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

    bool setSettings(const QString& settings) override;
    QString settings() const override;

    bool open() override;
    void close() override;
    bool isOpen() const override;
    QString errorString() const override;

    QByteArray readAll() override;
    void write(const QByteArray& data) override;
    qint64 outBufferCount() const override;
    void clearInput() override;

    bool modemStatus(bool* cts, bool* dsr) const override;

private:
    bool apply(const SerialSettings& s);
    bool readLines(QSerialPort::PinoutSignals* pins) const;
    void onError(QSerialPort::SerialPortError error);
    void pollModemLines();

    QSerialPort* port_;
    QTimer modemPoll_;
    int commPort_ = 1;
    QString explicitDevice_;
    QString openDevice_;
    QString settings_ = QStringLiteral("9600,e,7,1");
    QString error_;
    // Set at the first fatal error: the port counts as closed from then on,
    // the real close follows as a posted call.
    bool hungUp_ = false;
    quint64 generation_ = 0;
    mutable bool linesReadable_ = false;
    bool cts_ = false;
    bool dsr_ = false;
    bool cd_ = false;
};
