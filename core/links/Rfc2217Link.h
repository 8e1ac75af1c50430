#pragma once

#include "core/links/Rfc2217Codec.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTcpSocket>

#include <functional>

// A serial port on a serial server (RFC 2217), reached over TCP: what
// SerialPort uses in place of a local device when a COMn entry names a
// server. Opening connects, negotiates and sets the line, each step under
// its own time-out, and fails with a SerialPortError that names the server
// and what went wrong. Once open it is a byte pipe like the local port: the
// device's bytes are announced through ReadyRead, and the server's going
// away through Lost.
class Rfc2217Link : public QObject {
    Q_OBJECT
public:
    struct LineSettings {
        qint32 Baudrate = 115200;
        QSerialPort::DataBits DataBits = QSerialPort::Data8;
        QSerialPort::Parity Parity = QSerialPort::NoParity;
        QSerialPort::StopBits StopBits = QSerialPort::OneStop;
        QSerialPort::FlowControl Flow = QSerialPort::NoFlowControl;
        bool Dtr = false;
        bool Rts = false;
    };

    // The server has this long to accept the connection.
    static constexpr int ConnectTimeoutMs = 3000;
    // A serial server opens with Telnet at once; a port that says nothing in
    // Telnet this long after the connection is not one.
    static constexpr int TelnetTimeoutMs = 1000;
    // The server has this long to take port control and answer every setting.
    static constexpr int SettingsTimeoutMs = 3000;

    explicit Rfc2217Link(QObject *parent = nullptr);
    ~Rfc2217Link() override;

    // `name` is the port's name in messages (COM5). Throws SerialPortError.
    void Open(const QString &name, const QString &host, quint16 port, const LineSettings &settings);
    void Close();
    bool IsOpen() const { return m_open; }
    // Sends the settings and waits for the server to take them. Throws
    // SerialPortError when it refuses one or does not answer.
    void Apply(const LineSettings &settings);

    qint64 BytesAvailable() const { return m_rx.size() - m_rxPos; }
    qint64 Read(char *buffer, qint64 size);
    // Queues the device's bytes; false when the link is closed.
    bool Write(const char *data, qint64 size);
    qint64 BytesToWrite() const;
    bool WaitForBytesWritten(int msecs);
    void Flush();
    // Waits until device bytes have arrived (announced through ReadyRead),
    // the link is lost or `msecs` ran out; true when bytes arrived.
    bool WaitForReadyRead(int msecs);

    // "HOST:PORT", as messages name the server.
    QString Server() const;
    // Why the link was lost, naming the server; empty while it is open.
    QString LostReason() const { return m_lostReason; }
    // The server's last line and modem state reports.
    quint8 LineState() const { return m_codec.LastLineState(); }
    quint8 ModemState() const { return m_codec.LastModemState(); }

Q_SIGNALS:
    void ReadyRead();
    void Lost();

private:
    // Reads what the socket holds through the codec; true when device bytes
    // were added. Throws SerialPortError for a setting refused.
    bool takeIncoming();
    void onReadyRead();
    void onGone();
    void sendSettings(const LineSettings &settings);
    // Waits for the socket until `done` holds. Throws SerialPortError, its
    // text starting with `prefix`, when the server refuses, goes away or
    // does not get there in time.
    void awaitNegotiation(int timeoutMs, const std::function<bool()> &done, const QString &prefix);
    [[noreturn]] void fail(const QString &what);
    QString settingText(const Rfc2217Codec::Event &event) const;

    QTcpSocket m_socket;
    Rfc2217Codec m_codec;
    QString m_name;
    QString m_host;
    quint16 m_port = 0;
    QByteArray m_rx;
    qsizetype m_rxPos = 0;
    quint64 m_received = 0;
    bool m_open = false;
    bool m_opening = false;
    QString m_lostReason;
    QString m_refusal;
};
