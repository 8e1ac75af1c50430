#include "shell/DeviceConnection.h"

#include "shell/Identification.h"

#include <QDateTime>
#include <QDeadlineTimer>

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

    m_toTimer.setObjectName(QStringLiteral("TOTimer"));
    m_toTimer.setSingleShot(true);
    m_toTimer.setInterval(ConnectTimeoutMs);
    connect(&m_toTimer, &QTimer::timeout, this, &DeviceConnection::TOTimerTimer);
}

DeviceConnection::~DeviceConnection()
{
    // The link's own notifications must not reach a half-destroyed owner.
    m_toTimer.stop();
    disconnect(&m_clientSocket, nullptr, this, nullptr);
    disconnect(&m_vaComm, nullptr, this, nullptr);
}

void DeviceConnection::Shutdown()
{
    m_toTimer.stop();
    m_clientSocket.Close();
}

// ---------------------------------------------------------------------------
// Sending and the exchange

void DeviceConnection::SendCommand(const QByteArray &text)
{
    if (network()) {
        m_clientSocket.SendString(text);
        return;
    }
    if (m_vaComm.Active()) {
        try {
            m_vaComm.WriteBuf(text.constData(), int(qMin<qsizetype>(text.size(), PieceCapacity)));
        } catch (const SerialPortError &error) {
            m_user.ShowLinkError(error);
        }
        return;
    }
    portOpenFailed(QString());
}

bool DeviceConnection::ExchangeCommand(const QByteArray &text)
{
    PromptEvent.Reset();
    PromptSeen = false;
    ReplyBuffer.clear();
    SendCommand(text);
    return WaitForPrompt();
}

bool DeviceConnection::linkAlive() const
{
    return network() ? m_clientSocket.Active() : m_vaComm.Active();
}

bool DeviceConnection::waitForLinkData(int msecs)
{
    return network() ? m_clientSocket.WaitForData(msecs) : m_vaComm.WaitForData(msecs);
}

bool DeviceConnection::WaitForPrompt()
{
    TMyWaitThread waitThread(PromptEvent, PromptSeen);
    m_inExchange = true;
    waitThread.start();
    // Only the link is served while we wait: its data may carry the prompt.
    // Input, painting, timers and everything else wait for the exchange.
    QDeadlineTimer deadline(TMyWaitThread::PromptTimeoutMs);
    // A link that went away (also while the command was being sent) cannot
    // bring a prompt: the wait ends at once instead of freezing the window.
    bool aborted = m_linkLost && !linkAlive();
    while (!aborted && linkAlive() && !waitThread.isFinished() && !PromptSeen) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        waitForLinkData(int(left));
        aborted = m_linkLost && !linkAlive();
    }
    if (aborted)
        PromptEvent.Set(); // the device is gone: no prompt can come
    waitThread.wait();
    if (aborted)
        PromptSeen = false;
    m_inExchange = false;
    return PromptSeen;
}

void DeviceConnection::collectReply(const QByteArray &piece)
{
    if (ReplyBuffer.size() + 40 > 100)
        ReplyBuffer.clear();
    ReplyBuffer += piece;
    // The buffer keeps the newest text: the prompt and the lines before it
    // are what an exchange reads.
    if (ReplyBuffer.size() > ReplyCapacity)
        ReplyBuffer.remove(0, ReplyBuffer.size() - ReplyCapacity);
    if (piece.contains('>')) {
        PromptSeen = true;
        PromptEvent.Set();
    }
}

// ---------------------------------------------------------------------------
// Receiving

void DeviceConnection::SetUploadReceiver(std::function<void(int)> receiver)
{
    m_uploadReceiver = std::move(receiver);
}

void DeviceConnection::WriteBytes(const QByteArray &bytes)
{
    // A closed port takes nothing: that is a failure to report, not success.
    if (m_vaComm.WriteBuf(bytes.constData(), int(bytes.size())) != bytes.size())
        throw SerialPortError(QStringLiteral("Unable to write to device"));
}

void DeviceConnection::VaCommRxChar(SerialPort *sender, int count)
{
    if (m_uploadReceiver) {
        // The receiver may clear itself while it runs (the update ended):
        // what it left in the port is the device's text again.
        const auto receiver = m_uploadReceiver;
        receiver(count);
        if (m_uploadReceiver || !sender->Active())
            return;
        count = sender->BytesWaiting();
    }
    char buffer[PieceCapacity + 1];
    // A large arrival is taken in parts that fit the receive buffer.
    while (count > 0) {
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
        buffer[n] = '\0';
        const QByteArray piece(buffer); // the text ends at the first zero byte
        collectReply(piece);
        QByteArray shown;
        shown.reserve(piece.size() + 16);
        for (char c : piece) {
            if (c == '#')
                shown += TimeStamp();
            else
                shown += c;
        }
        m_user.AppendTerminal(shown);
    }
}

QByteArray DeviceConnection::TimeStamp()
{
    // The clock is read for every '#', but turning it into local time costs
    // a time-zone lookup; a device that marks every line would spend most of
    // its time there. Zone offsets are whole seconds, so once a second does.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != m_stampSecond) {
        m_stampSecond = now / 1000;
        m_stampText = '['
                      + QDateTime::fromMSecsSinceEpoch(now).time().toString(QStringLiteral("HH:mm:ss")).toLatin1()
                      + "] ";
    }
    return m_stampText;
}

void DeviceConnection::VaCommDeviceLost()
{
    m_linkLost = true;
    // An update under way hears of it at once: no more data will come.
    if (m_uploadReceiver) {
        const auto receiver = m_uploadReceiver;
        receiver(-1);
    }
    m_user.AddStatus(QStringLiteral("Device disconnected"));
    m_user.ShowIdentification(QStringLiteral("Serial Number Not Available"));
    Connected = false;
    m_portListEnabled = true;
    // The port that went away leaves the list until its device returns.
    m_user.PortsChanged();
    UpdateConnectionStatus();
}

void DeviceConnection::ClientSocketRead(TClientSocket *sender)
{
    char buffer[NetworkReadSize];
    const int n = sender->ReceiveBytes(buffer, NetworkReadSize);
    if (n <= 0)
        return;
    const QByteArray received(buffer, n);
    // Exchanges over the network see the prompt just as over the cable.
    collectReply(QByteArray(received.constData())); // text ends at a zero byte
    QByteArray shown;
    shown.reserve(n + 8);
    for (char c : received) {
        if (c == '\r')
            continue;
        if (c == '\n')
            shown += "\r\n";
        else
            shown += c;
    }
    m_user.AppendTerminal(shown);
}

// ---------------------------------------------------------------------------
// Connection management

void DeviceConnection::portOpenFailed(const QString &detail)
{
    QString text = (m_settings.InterfaceType == InterfaceUsb ? QStringLiteral("Error opening Virtual Comport: ")
                                                             : QStringLiteral("Error opening Comport: "))
                   + QString::number(m_vaComm.PortNum())
                   + QStringLiteral(" (USB)\n\nDid you connect your USB cable?");
    if (!detail.isEmpty())
        text += QStringLiteral("\n\n") + detail;
    tellUser(text);
}

void DeviceConnection::OpenConnectionClicked(bool identifyDevice)
{
    if (network()) {
        // A second open while an attempt runs starts over: the first attempt
        // is dropped with its time-out, so no stale outcome arrives later.
        if (m_toTimer.isActive()) {
            m_toTimer.stop();
            m_user.RestoreCursor();
        }
        if (m_clientSocket.State() != TClientSocket::LinkState::Idle)
            m_clientSocket.Close();
        Connected = false;
        HostAddress = QStringLiteral("192.168.0.100");
        QString typed = HostAddress;
        if (!m_user.AskHostAddress(typed) || typed.isEmpty()) {
            UpdateConnectionStatus();
            return;
        }
        HostAddress = typed;
        m_user.SetBusyCursor();
        m_toTimer.start(ConnectTimeoutMs);
        UpdateConnectionStatus();
        try {
            m_clientSocket.SetHost(HostAddress);
            m_clientSocket.Open();
        } catch (const std::exception &error) {
            m_toTimer.stop();
            m_user.RestoreCursor();
            UpdateConnectionStatus();
            m_user.ShowLinkError(error);
        }
        return;
    }

    Connected = false;
    if (!m_vaComm.Active()) {
        try {
            m_vaComm.Open();
        } catch (const SerialPortError &error) {
            // A missing device is what the main message says; for any other
            // refusal the system's reason tells the user what to do.
            const QString detail = error.message().startsWith(QLatin1String("Specified device"))
                                       ? QString()
                                       : error.message();
            portOpenFailed(detail);
            return;
        }
    }
    Connected = true;
    m_linkLost = false;
    m_portListEnabled = false;
    if (identifyDevice) {
        m_user.SetBusyCursor();
        if (!identify()) {
            noResponse();
            return;
        }
    }
    m_user.RestoreCursor();
    UpdateConnectionStatus();
}

bool DeviceConnection::identify()
{
    if (!ExchangeCommand("snum\n"))
        return false;
    const IdentPart serial = ParseIdentPart(ReplyBuffer, "Serialnumber", 22);
    if (serial.store)
        SerialNumber.replace(0, serial.text.size(), serial.text);
    QByteArray ident = " SN: [" + serial.text;

    if (!ExchangeCommand("ver\n"))
        return false;
    const IdentPart version = ParseIdentPart(ReplyBuffer, "V:", 3);
    if (version.store)
        SoftwareVersion.replace(0, version.text.size(), version.text);
    ident += "]   SW: [" + version.text + "]";
    m_user.ShowIdentification(QString::fromLatin1(ident));
    return true;
}

void DeviceConnection::noResponse()
{
    m_user.RestoreCursor();
    m_user.AppendTerminal("No response from Mirto");
    m_user.AddStatus(QStringLiteral("No response from Mirto"));
    UpdateConnectionStatus();
}

void DeviceConnection::CloseConnectionClicked()
{
    if (network()) {
        m_toTimer.stop();
        m_clientSocket.Close();
    } else {
        m_user.ShowIdentification(QStringLiteral("Serial Number Not Available"));
        m_vaComm.Close();
    }
    Connected = false;
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
        Connected = m_vaComm.Active();
    if (m_settings.InterfaceType == InterfaceUsb)
        panel.clear();
    if (Connected)
        state.ConnectionPanel = panel;
    else if (network() && m_toTimer.isActive())
        state.ConnectionPanel = QStringLiteral("  trying ") + HostAddress + QStringLiteral("....");
    else
        state.ConnectionPanel = QStringLiteral("  Not Connected");
    // While a network attempt runs, a second open would fight the first.
    state.OpenEnabled = !Connected && !(network() && m_toTimer.isActive());
    state.CloseEnabled = Connected;
    state.PortListEnabled = m_portListEnabled;
    m_user.ShowConnectionState(state);
}

void DeviceConnection::ClientSocketConnect(TClientSocket *)
{
    m_toTimer.stop();
    Connected = true;
    m_linkLost = false;
    UpdateConnectionStatus();
    m_user.RestoreCursor();
}

void DeviceConnection::ClientSocketDisconnect(TClientSocket *)
{
    m_linkLost = true;
    Connected = false;
    UpdateConnectionStatus();
    tellUser(QStringLiteral(" Socket Connection closed by Mirto"));
}

void DeviceConnection::tellUser(const QString &text)
{
    // A message box runs an event loop of its own, which must not start in
    // the middle of an exchange: the box waits for the exchange's end.
    if (m_inExchange)
        QTimer::singleShot(0, this, [this, text] { m_user.TellUser(text); });
    else
        m_user.TellUser(text);
}

void DeviceConnection::ClientSocketError(TClientSocket *, ErrorEvent kind, int &errorCode)
{
    if (kind != ErrorEvent::Connect) {
        // An attempt that failed this way is over: its time-out must not
        // report the same failure a second time.
        m_toTimer.stop();
        m_clientSocket.Close();
        Connected = false;
        UpdateConnectionStatus();
        m_user.RestoreCursor();
        tellUser(QStringLiteral("Unexpected Clientsocket error...."));
    }
    errorCode = 0;
}

void DeviceConnection::TOTimerTimer()
{
    m_clientSocket.Close();
    m_toTimer.stop();
    UpdateConnectionStatus();
    m_user.RestoreCursor();
    tellUser(QStringLiteral("Unable to connect...."));
}
