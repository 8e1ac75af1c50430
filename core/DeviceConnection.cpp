#include "core/DeviceConnection.h"

#include "core/DeviceConnectionUpdate.h"
#include "core/ReconnectPolicy.h"

#include <QPointer>

#include <utility>

DeviceConnection::DeviceConnection(const ToolSettings &settings, DeviceUser &user, QObject *parent)
    : QObject(parent), m_settings(settings), m_user(user)
{
    setObjectName(QStringLiteral("DeviceConnection"));
    // Children by name, so the window that holds the connection finds them.
    m_vaComm.setParent(this);
    m_clientSocket.setParent(this);
    m_toTimer.setParent(this);
    m_vaComm.setObjectName(QStringLiteral("VaComm"));
    m_vaComm.SetStopbits(QSerialPort::OneStop);
    m_vaComm.SetDatabits(QSerialPort::Data8);
    m_vaComm.SetParity(QSerialPort::NoParity);
    m_vaComm.SetFlowControl({});
    m_vaComm.SetPortNum(0);
    m_vaComm.SetBaudrate(115200);
    connect(&m_vaComm, &SerialPort::OnRxChar, this, &DeviceConnection::VaCommRxChar);
    connect(&m_vaComm, &SerialPort::DeviceLost, this, &DeviceConnection::VaCommDeviceLost);

    m_clientSocket.setObjectName(QStringLiteral("ClientSocket"));
    m_clientSocket.SetPort(NetworkPort);
    connect(&m_clientSocket, &TClientSocket::OnConnect, this, &DeviceConnection::ClientSocketConnect);
    connect(&m_clientSocket, &TClientSocket::OnRead, this, &DeviceConnection::ClientSocketRead);
    connect(&m_clientSocket, &TClientSocket::OnDisconnect, this, &DeviceConnection::ClientSocketDisconnect);
    connect(&m_clientSocket, &TClientSocket::OnError, this, &DeviceConnection::ClientSocketError,
            Qt::DirectConnection);

    m_reconnect = new ReconnectPolicy(*this);
    m_toTimer.setObjectName(QStringLiteral("TOTimer"));
    m_toTimer.setSingleShot(true);
    m_toTimer.setInterval(ConnectTimeoutMs);
    connect(&m_toTimer, &QTimer::timeout, this, &DeviceConnection::TOTimerTimer);

    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, &DeviceConnection::wakeWait);
    m_handOver = std::make_unique<UpdateHandOver>(*this);
}

DeviceConnection::~DeviceConnection()
{
    // The link's own notifications must not reach a half-destroyed owner.
    m_toTimer.stop();
    m_waitTimer.stop();
    disconnect(&m_clientSocket, nullptr, this, nullptr);
    disconnect(&m_vaComm, nullptr, this, nullptr);
}

void DeviceConnection::Shutdown()
{
    m_shutDown = true;
    wakeWait();
    m_toTimer.stop();
    dropWhenConnected();
    closeSocket();
}

// ---------------------------------------------------------------------------
// Receiving

void DeviceConnection::VaCommRxChar(SerialPort *sender, int count)
{
    m_lastReceived.restart();
    if (m_uploadReceiver) {
        // The receiver may clear itself while it runs (the update ended):
        // what it left in the port is the device's text again.
        const auto receiver = m_uploadReceiver;
        receiver(count);
        if (m_uploadReceiver || !sender->Active())
            return;
        count = sender->BytesWaiting();
    }
    char buffer[PieceCapacity];
    // A large arrival is taken in parts that fit the receive buffer, and a
    // flood no more than so many parts at a time: the rest is taken from the
    // event loop, so the tool keeps answering while a device pours out text.
    int parts = 0;
    while (count > 0) {
        if (++parts > MaxPartsPerTurn) {
            QMetaObject::invokeMethod(
                this,
                [this, port = QPointer<SerialPort>(sender)] {
                    if (port && port->Active() && port->BytesWaiting() > 0)
                        VaCommRxChar(port, port->BytesWaiting());
                },
                Qt::QueuedConnection);
            return;
        }
        int n = 0;
        try {
            n = sender->ReadBuf(buffer, qMin(count, PieceCapacity));
        } catch (const SerialPortError &error) {
            m_user.ShowLinkError(error);
            return;
        }
        if (n <= 0)
            break;
        count -= n;
        passOn(QByteArray(buffer, n), TerminalFormatter::Link::Serial);
    }
}

void DeviceConnection::passOn(const QByteArray &bytes, TerminalFormatter::Link link)
{
    // Exchanges see the prompt in the text, which ends at a zero byte.
    const QByteArray text = TextBeforeZero(bytes).toByteArray();
    collectReply(text);
    if (!text.isEmpty())
        Q_EMIT Received(text);
    m_user.ShowReceived(bytes, link);
}

void DeviceConnection::VaCommDeviceLost()
{
    m_linkLost = true;
    // An update under way hears of it at once: no more data will come.
    if (m_uploadReceiver) {
        const auto receiver = m_uploadReceiver;
        receiver(-1);
    }
    m_user.AddStatus(m_vaComm.LostReason().isEmpty() ? QStringLiteral("Device disconnected") : m_vaComm.LostReason());
    markTerminal(QStringLiteral("COM%1 went away").arg(m_vaComm.PortNum()));
    m_user.ShowIdentification(QStringLiteral("Serial Number Not Available"));
    // A job cut short says so once (the update's own dialog tells of its
    // end); an idle link goes quietly, the panels show it.
    if (m_job == Job::Exchange || m_job == Job::Sequence)
        tellUser(QStringLiteral("The device on COM%1 went away: %2 stopped.")
                     .arg(m_vaComm.PortNum())
                     .arg(m_jobName));
    linkGone();
    m_portListEnabled = true;
    // The port that went away leaves the list until its device returns.
    m_user.PortsChanged();
    UpdateConnectionStatus();
    m_reconnect->LinkLost(DeviceIdentity(m_identity.readSerial));
}

void DeviceConnection::ClientSocketRead(TClientSocket *sender)
{
    char buffer[NetworkReadSize];
    const int n = sender->ReceiveBytes(buffer, NetworkReadSize);
    if (n <= 0)
        return;
    passOn(QByteArray(buffer, n), TerminalFormatter::Link::Network);
}

// ---------------------------------------------------------------------------
// Opening and closing the link

void DeviceConnection::portOpenFailed(const SerialPortError &error)
{
    const QString number = QString::number(m_vaComm.PortNum());
    // A port on a serial server: no cable to check, the message says what
    // the server did.
    if (error.cause() == SerialPortError::Cause::Server) {
        tellUser(QStringLiteral("Error opening Comport: ") + number + QStringLiteral("\n\n") + error.message());
        return;
    }
    const bool usb = m_settings.InterfaceType == InterfaceUsb;
    QString text = usb ? QStringLiteral("Error opening Virtual Comport: ") + number + QStringLiteral(" (USB)")
                       : QStringLiteral("Error opening Comport: ") + number;
    // The advice fits what kept the port shut: a cable is worth checking
    // only when the device is missing, and a port another program holds
    // is freed there, not at the cable.
    if (error.cause() == SerialPortError::Cause::InUse) {
        text += QStringLiteral("\n\nCOM") + number
                + QStringLiteral(" is in use by another program: close it there and try again.");
    } else if (usb) {
        text += QStringLiteral("\n\nDid you connect your USB cable?");
    } else {
        text += QStringLiteral("\n\nIs the serial cable connected to COM") + number + QStringLiteral("?");
    }
    // A missing device is what the main message says; for any other refusal
    // the system's reason tells the user what to do.
    if (error.cause() != SerialPortError::Cause::NotFound)
        text += QStringLiteral("\n\n") + error.message();
    tellUser(text);
}

void DeviceConnection::portNotOpen()
{
    tellUser(QStringLiteral("Nothing was sent: COM") + QString::number(m_vaComm.PortNum())
             + QStringLiteral(" is not open. Press the open button to open it."));
}

void DeviceConnection::OpenConnectionClicked(bool identifyDevice)
{
    if (refuseWhileBusy())
        return;
    // The user's own open or close ends an automatic reconnect.
    m_reconnect->Stop();
    if (network()) {
        // A second open while an attempt runs starts over: the first attempt
        // is dropped with its time-out, so no stale outcome arrives later.
        if (m_toTimer.isActive()) {
            m_toTimer.stop();
            m_user.RestoreCursor();
        }
        if (m_clientSocket.State() != TClientSocket::LinkState::Idle)
            closeSocket();
        m_connected = false;
        forgetOwedPrompts();
        HostAddress = QStringLiteral("192.168.0.100");
        QString typed = HostAddress;
        if (!m_user.AskHostAddress(typed) || typed.isEmpty()) {
            // No attempt: what waited for one goes unsent.
            dropWhenConnected();
            UpdateConnectionStatus();
            return;
        }
        HostAddress = typed;
        m_user.SetBusyCursor();
        openNetworkAttempt([this](const std::exception &error) {
            dropWhenConnected();
            m_user.RestoreCursor();
            UpdateConnectionStatus();
            m_user.ShowLinkError(error);
        });
        return;
    }

    m_connected = false;
    if (!m_vaComm.Active()) {
        try {
            m_portInUse = false;
            m_vaComm.Open();
        } catch (const SerialPortError &error) {
            m_portInUse = error.cause() == SerialPortError::Cause::InUse;
            portOpenFailed(error);
            return;
        }
        // A port just opened owes nothing to lines sent before.
        forgetOwedPrompts();
    }
    m_connected = true;
    m_linkLost = false;
    m_portListEnabled = false;
    m_identity.readSerial.clear();
    m_identity.readVersion.clear();
    if (identifyDevice && !Identify())
        return;
    m_user.RestoreCursor();
    UpdateConnectionStatus();
}

void DeviceConnection::CloseConnectionClicked()
{
    m_reconnect->Stop();
    if (network()) {
        m_toTimer.stop();
        // The close the user asked for is no link lost.
        m_userClosing = true;
        closeSocket();
        m_userClosing = false;
    } else {
        m_user.ShowIdentification(QStringLiteral("Serial Number Not Available"));
        m_vaComm.Close();
    }
    linkGone();
    m_portListEnabled = true;
    m_user.PortsChanged();
    UpdateConnectionStatus();
}

bool DeviceConnection::ChangePort(int number)
{
    try {
        m_vaComm.Close();
        m_vaComm.SetPortNum(number);
        m_vaComm.Open();
        m_linkLost = false;
        forgetOwedPrompts();
    } catch (const SerialPortError &error) {
        m_user.ShowLinkError(error);
        return false;
    }
    return true;
}

void DeviceConnection::UpdateConnectionStatus()
{
    ConnectionState state;
    QString panel = QStringLiteral(" Connect ") + HostAddress;
    if (!network())
        m_connected = m_vaComm.Active();
    if (m_settings.InterfaceType == InterfaceUsb)
        panel.clear();
    if (m_connected)
        state.ConnectionPanel = panel;
    else if (network() && m_toTimer.isActive())
        state.ConnectionPanel = QStringLiteral("  trying ") + HostAddress + QStringLiteral("....");
    else
        state.ConnectionPanel = QStringLiteral("  Not Connected");
    // While a network attempt runs, a second open would fight the first;
    // while a job holds the link, it is not opened, closed or moved under it.
    const bool free = m_job == Job::None;
    state.OpenEnabled = free && !m_connected && !(network() && m_toTimer.isActive());
    // A reconnect that waits or tries again is stopped with Close.
    state.CloseEnabled = free && (m_connected || Reconnecting());
    state.PortListEnabled = free && m_portListEnabled;
    m_user.ShowConnectionState(state);
}

void DeviceConnection::SetAutoReconnect(bool on)
{
    m_reconnect->SetEnabled(on);
    UpdateConnectionStatus();
}

bool DeviceConnection::AutoReconnect() const
{
    return m_reconnect->Enabled();
}

bool DeviceConnection::Reconnecting() const
{
    return m_reconnect && m_reconnect->Armed();
}

void DeviceConnection::markTerminal(const QString &text)
{
    m_user.AppendTerminal("\r\n" + text.toLocal8Bit() + "\r\n");
}

bool DeviceConnection::linkAlive() const
{
    return network() ? m_clientSocket.Active() : m_vaComm.Active();
}

void DeviceConnection::linkGone()
{
    // Nothing more comes over a link that is gone: no prompt is owed, and a
    // command waiting for one stops waiting.
    m_connected = false;
    forgetOwedPrompts();
    dropWhenConnected();
    wakeWait();
}

void DeviceConnection::closeSocket()
{
    const bool before = std::exchange(m_closingSocket, true);
    m_clientSocket.Close();
    m_closingSocket = before;
}

// ---------------------------------------------------------------------------
// The network attempt and the network link

void DeviceConnection::openNetworkAttempt(const std::function<void(const std::exception &)> &failed)
{
    // The attempt runs under its connect time-out from here on; its outcome
    // comes as the socket's connect, its error or the time-out.
    m_toTimer.start(ConnectTimeoutMs);
    UpdateConnectionStatus();
    try {
        m_clientSocket.SetHost(HostAddress);
        m_clientSocket.Open();
    } catch (const std::exception &error) {
        m_toTimer.stop();
        failed(error);
    }
}

bool DeviceConnection::WhenConnected(std::function<void()> then)
{
    if (!network() || m_connected || !m_toTimer.isActive())
        return false;
    m_whenConnected.push_back(std::move(then));
    return true;
}

void DeviceConnection::ClientSocketConnect(TClientSocket *)
{
    m_toTimer.stop();
    m_connected = true;
    m_linkLost = false;
    forgetOwedPrompts();
    UpdateConnectionStatus();
    m_user.RestoreCursor();
    // The commands the user sent while the link was being opened go out now.
    const auto waiting = std::exchange(m_whenConnected, {});
    for (const auto &then : waiting)
        then();
    m_reconnect->NetworkConnected();
}

void DeviceConnection::ClientSocketDisconnect(TClientSocket *)
{
    m_linkLost = true;
    linkGone();
    UpdateConnectionStatus();
    // Only the device's own close is news: the user's Close, a new open, the
    // tool ending and an error already reported are no closing by Mirto.
    if (m_closingSocket || m_userClosing)
        return;
    markTerminal(QStringLiteral("Connection to %1 closed by Mirto").arg(HostAddress));
    if (m_reconnect->Enabled()) {
        m_reconnect->LinkLost({});
        return;
    }
    tellUser(QStringLiteral(" Socket Connection closed by Mirto"));
}

void DeviceConnection::ClientSocketError(TClientSocket *, ErrorEvent kind, int &errorCode)
{
    if (kind != ErrorEvent::Connect) {
        // An attempt that failed this way is over: its time-out must not
        // report the same failure a second time.
        m_toTimer.stop();
        closeSocket();
        linkGone();
        UpdateConnectionStatus();
        m_user.RestoreCursor();
        if (m_reconnect->NetworkFailed()) {
            // The reconnect's own attempt: it tries again later.
        } else if (m_reconnect->Enabled()) {
            markTerminal(QStringLiteral("The connection to %1 was broken").arg(HostAddress));
            m_user.ShowReconnect(QStringLiteral("The connection to %1 was broken").arg(HostAddress));
            m_reconnect->LinkLost({});
        } else {
            tellUser(QStringLiteral("Unexpected Clientsocket error...."));
        }
    }
    errorCode = 0;
}

void DeviceConnection::TOTimerTimer()
{
    closeSocket();
    m_toTimer.stop();
    dropWhenConnected();
    UpdateConnectionStatus();
    m_user.RestoreCursor();
    if (m_reconnect->NetworkFailed())
        return;
    tellUser(QStringLiteral("Unable to connect...."));
}
