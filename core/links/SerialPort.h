#pragma once

#include "core/links/Rfc2217Link.h"
#include "core/links/SerialPortError.h"

#include <QObject>
#include <QSerialPort>
#include <QString>

// The byte pipe to a device on a serial or USB cable, or on a serial server
// (RFC 2217) when the COMn entry names one. Port numbers are the tool's COMn
// numbers (see ComPorts.h). Everything runs on the thread that owns the
// object; received data is announced through OnRxChar.
class SerialPort : public QObject {
    Q_OBJECT
public:
    enum class DtrControl { Disabled, Enabled, Handshake };
    enum class RtsControl { Disabled, Enabled, Handshake, Toggle };

    struct FlowControlSettings {
        bool OutCtsFlow = false;
        bool OutDsrFlow = false;
        DtrControl ControlDtr = DtrControl::Disabled;
        RtsControl ControlRts = RtsControl::Disabled;
        bool XonXoffOut = false;
        bool XonXoffIn = false;
    };

    struct BufferSettings {
        int ReadSize = 4096;
        int WriteSize = 2048;
        int ReadTimeout = 1000;
        int WriteTimeout = 1000;
    };

    explicit SerialPort(QObject *parent = nullptr);
    ~SerialPort() override;

    void Open();
    void Close();
    bool Active() const;

    int ReadBuf(char *buffer, int count);
    bool ReadChar(char &byte);
    int WriteBuf(const char *data, int count);
    bool WriteChar(char byte);

    // Blocks the calling thread until data has arrived and been announced
    // through OnRxChar, the device went away, or `msecs` ran out. Nothing but
    // this port is served meanwhile. Returns true when data was announced.
    bool WaitForData(int msecs);
    // Received bytes not read yet.
    int BytesWaiting() const;

    int PortNum() const { return m_portNum; }
    void SetPortNum(int portNum);
    QString DeviceName() const { return m_deviceName; }
    void SetDeviceName(const QString &pattern);
    BufferSettings Buffers() const { return m_buffers; }
    void SetBuffers(const BufferSettings &buffers);

    qint32 Baudrate() const { return m_baudrate; }
    void SetBaudrate(qint32 baudrate);
    QSerialPort::DataBits Databits() const { return m_dataBits; }
    void SetDatabits(QSerialPort::DataBits bits);
    QSerialPort::Parity Parity() const { return m_parity; }
    void SetParity(QSerialPort::Parity parity);
    QSerialPort::StopBits Stopbits() const { return m_stopBits; }
    void SetStopbits(QSerialPort::StopBits bits);
    FlowControlSettings FlowControl() const { return m_flow; }
    void SetFlowControl(const FlowControlSettings &flow);

    // The device name as messages show it: the pattern with the number.
    QString PortName() const;
    // The serial server ("HOST:PORT") of a port opened on one; empty for a
    // local port.
    QString Server() const { return m_serverOpened ? m_remote.Server() : QString(); }
    // Why the port went away, where it says more than a cable pulled (the
    // serial server closed the connection); empty otherwise.
    QString LostReason() const { return m_lostReason; }
    // The folder of the lock file through which another program holds the
    // port, when there is one: a wait for the port watches it. Empty when
    // no lock file names the port (a holder may still have it exclusively).
    QString LockFolder() const;

    // How long Close() lets the line settle before it returns.
    static constexpr int ClosePauseMs = 300;

Q_SIGNALS:
    void OnRxChar(SerialPort *sender, int count);
    // The device disappeared while the port was open (cable pulled); the port
    // has been closed quietly.
    void DeviceLost();

private:
    void requireClosed() const;
    void applyLineSettings();
    void handleReadyRead();
    void handleError(QSerialPort::SerialPortError error);
    [[noreturn]] void throwOpenError(const QString &target);
    QSerialPort::FlowControl flowControl() const;
    Rfc2217Link::LineSettings remoteSettings() const;
    bool remote() const { return m_remote.IsOpen(); }
    qint64 pendingOut() const;
    bool waitWritten(int msecs);
    void handleRemoteLost();

    QSerialPort m_port;
    Rfc2217Link m_remote;
    bool m_serverOpened = false;
    QString m_lostReason;
    int m_portNum = 0;
    QString m_deviceName = QStringLiteral("COM%d");
    BufferSettings m_buffers;
    qint32 m_baudrate = 1200;
    QSerialPort::DataBits m_dataBits = QSerialPort::Data8;
    QSerialPort::Parity m_parity = QSerialPort::NoParity;
    QSerialPort::StopBits m_stopBits = QSerialPort::OneStop;
    FlowControlSettings m_flow;
    bool m_announced = false;
};
