#pragma once

#include "links/ClientSocket.h"
#include "links/SerialPort.h"
#include "shell/DevicePorts.h"
#include "shell/ToolSettings.h"
#include "shell/Waitthread.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <exception>

// What the connection shows of itself: status panel 3 and the two buttons.
struct ConnectionState {
    QString ConnectionPanel;
    bool OpenEnabled = true;
    bool CloseEnabled = false;
    bool PortListEnabled = true;
};

// How the connection reaches the person in front of the tool. The main
// window implements it; tests and the command-line front end script it.
class DeviceUser {
public:
    virtual ~DeviceUser() = default;
    // A message with an OK button. Never called inside a command exchange.
    virtual void TellUser(const QString &text) = 0;
    // A link error for the standard error display.
    virtual void ShowLinkError(const std::exception &error) = 0;
    // Asks for the device's network address, proposing `address`; false when
    // the user cancels.
    virtual bool AskHostAddress(QString &address) = 0;
    virtual void SetBusyCursor() = 0;
    virtual void RestoreCursor() = 0;
    // Text for the end of the terminal.
    virtual void AppendTerminal(const QByteArray &text) = 0;
    virtual void AddStatus(const QString &text) = 0;
    // Status panel 2.
    virtual void ShowIdentification(const QString &text) = 0;
    virtual void ShowConnectionState(const ConnectionState &state) = 0;
    // The system's serial ports may have changed: read the port list again.
    virtual void PortsChanged() = 0;
};

// The link to the device without any window: the serial port, the network
// client and its connect time-out, the command exchange with its prompt
// wait, identification, and both receive paths.
class DeviceConnection : public QObject, public CommandPort, public BootPort {
    Q_OBJECT
public:
    static constexpr int ReplyCapacity = 999;
    static constexpr int PieceCapacity = 1023;
    static constexpr int NetworkReadSize = 210;
    static constexpr int ConnectTimeoutMs = 2000;
    static constexpr int NetworkPort = 9000;

    // `settings` supplies the interface type; it outlives the connection.
    DeviceConnection(const ToolSettings &settings, DeviceUser &user, QObject *parent = nullptr);
    ~DeviceConnection() override;

    // Shared state, read by the windows.
    std::atomic<bool> PromptSeen {false};
    AutoResetEvent PromptEvent;
    bool Connected = false;
    QByteArray ReplyBuffer;
    QByteArray SerialNumber = QByteArray(50, '\0');
    QByteArray SoftwareVersion = QByteArray(50, '\0');
    QString HostAddress;

    SerialPort &VaComm() { return m_vaComm; }
    TClientSocket &ClientSocket() { return m_clientSocket; }
    QTimer &TOTimer() { return m_toTimer; }
    bool InExchange() const { return m_inExchange; }
    // A network attempt is under way (between the open and its outcome).
    bool Trying() const { return m_toTimer.isActive(); }

    // Opens the link. Serial and USB identify the device unless `identify`
    // is false (the port is handed back after a firmware update).
    void OpenConnectionClicked(bool identify = true);
    void CloseConnectionClicked();
    // Switches the serial port to `number` and opens it; false when that
    // failed (the user has been told).
    bool ChangePort(int number);
    void UpdateConnectionStatus() override;

    // CommandPort
    bool IsConnected() const override { return Connected; }
    int Interface() const override { return m_settings.InterfaceType; }
    void OpenConnection() override { OpenConnectionClicked(true); }
    void SendCommand(const QByteArray &text) override;
    bool ExchangeCommand(const QByteArray &text) override;
    QByteArray Reply() const override { return ReplyBuffer; }
    bool WaitForPrompt();

    // BootPort
    int PortNumber() const override { return m_vaComm.PortNum(); }
    void SetUploadReceiver(std::function<void(int count)> receiver) override;
    bool UploadActive() const override { return bool(m_uploadReceiver); }
    bool PortOpen() const override { return m_vaComm.Active(); }
    void OpenPort() override { m_vaComm.Open(); }
    void ClosePort() override { m_vaComm.Close(); }
    int ReadBytes(char *buffer, int size) override { return m_vaComm.ReadBuf(buffer, size); }
    void WriteBytes(const QByteArray &bytes) override;
    void ReopenAfterUpdate() override { OpenConnectionClicked(false); }

    // Closes whatever is open as the tool ends.
    void Shutdown();

    // Receive paths and link notifications.
    void VaCommRxChar(SerialPort *sender, int count);
    void ClientSocketRead(TClientSocket *sender);
    void ClientSocketConnect(TClientSocket *sender);
    void ClientSocketDisconnect(TClientSocket *sender);
    void ClientSocketError(TClientSocket *sender, ErrorEvent kind, int &errorCode);
    void TOTimerTimer();

private:
    void VaCommDeviceLost();
    void collectReply(const QByteArray &piece);
    bool identify();
    void noResponse();
    void tellUser(const QString &text);
    void portOpenFailed(const QString &detail);
    QByteArray TimeStamp();
    bool waitForLinkData(int msecs);
    bool linkAlive() const;
    bool network() const { return m_settings.InterfaceType == InterfaceNetwork; }

    const ToolSettings &m_settings;
    DeviceUser &m_user;
    SerialPort m_vaComm;
    TClientSocket m_clientSocket;
    QTimer m_toTimer;
    std::function<void(int)> m_uploadReceiver;
    bool m_inExchange = false;
    // The open link went away; cleared when a link opens again.
    bool m_linkLost = false;
    bool m_portListEnabled = true;
    qint64 m_stampSecond = -1;
    QByteArray m_stampText;
};
