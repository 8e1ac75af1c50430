#include "core/DeviceConnection.h"

#include "core/Identification.h"
#include "core/links/ComPorts.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QPointer>

#include <utility>

// The link as the firmware update uses it: raw bytes, and the received data
// of the serial port while the update holds the link.
class DeviceConnection::BootSide : public BootPort {
public:
    explicit BootSide(DeviceConnection &owner) : m_owner(owner) {}

    int Interface() const override { return m_owner.Interface(); }
    int PortNumber() const override { return m_owner.m_vaComm.PortNum(); }
    bool ReadyForUpdate() override
    {
        if (m_owner.m_job == Job::None && !heldByOther())
            return true;
        m_owner.tellBusy();
        return false;
    }
    void GiveBack() override
    {
        DeviceConnection &c = m_owner;
        if (!c.m_uploadReceiver)
            return;
        c.m_uploadReceiver = {};
        // Whatever the firmware owed before the update is void now.
        c.forgetOwedPrompts();
        c.endJob();
    }
    bool ClaimForUpdate(std::function<void(int count)> receiver) override
    {
        DeviceConnection &c = m_owner;
        if (!receiver)
            return false;
        if (!c.m_uploadReceiver) {
            if (c.m_job != Job::None || c.m_waitLoop) {
                c.tellBusy();
                return false;
            }
            c.forgetOwedPrompts();
            c.beginJob(Job::Boot, QStringLiteral("the firmware update"));
        }
        c.m_uploadReceiver = std::move(receiver);
        return true;
    }
    bool UploadActive() const override { return bool(m_owner.m_uploadReceiver); }
    bool PortOpen() const override { return m_owner.m_vaComm.Active(); }
    bool OpenForUpdate() override
    {
        DeviceConnection &c = m_owner;
        if (c.m_vaComm.Active())
            return true;
        // The update's own claim comes later; any other job keeps its port.
        if (heldByOther()) {
            c.tellBusy();
            return false;
        }
        c.m_vaComm.Open();
        c.m_linkLost = false;
        // A port just opened owes nothing to lines sent before.
        c.forgetOwedPrompts();
        c.UpdateConnectionStatus();
        return true;
    }
    int ReadBytes(char *buffer, int size) override
    {
        const int n = m_owner.m_vaComm.ReadBuf(buffer, size);
        if (n > 0 && m_owner.m_user.ShowsRawBytes())
            m_owner.m_user.ShowRawBytes(QByteArray(buffer, n));
        return n;
    }
    void WriteBytes(const QByteArray &bytes) override
    {
        // A closed port takes nothing: that is a failure to report, not success.
        if (m_owner.m_vaComm.WriteBuf(bytes.constData(), int(bytes.size())) != bytes.size())
            throw SerialPortError(QStringLiteral("Unable to write to device"));
    }
    void SendCommand(const QByteArray &text) override
    {
        // The reset that enters the boot loader: no prompt is owed for it.
        if (m_owner.m_vaComm.Active())
            m_owner.m_vaComm.WriteBuf(text.constData(), int(qMin<qsizetype>(text.size(), PieceCapacity)));
        else
            m_owner.portNotOpen();
    }
    void UpdateConnectionStatus() override { m_owner.UpdateConnectionStatus(); }
    bool ReopenAfterUpdate(bool identify) override
    {
        DeviceConnection &c = m_owner;
        // An update never used the network link: it stays as it is.
        if (c.network())
            return true;
        // A job that holds the link keeps its port as it is.
        if (heldByOther() || c.m_job == Job::Boot)
            return false;
        c.m_vaComm.Close();
        c.forgetOwedPrompts();
        c.OpenConnectionClicked(false);
        if (identify && c.m_connected)
            c.IdentifyAfterRestart();
        return true;
    }
    void ForgetIdentification() override
    {
        m_owner.m_user.ShowIdentification(QStringLiteral("Serial Number Not Available"));
    }
    void ShowInTerminal(const QByteArray &text) override { m_owner.m_user.AppendTerminal(text); }

private:
    // A job other than the update holds the link (one waits for its prompt,
    // or a sequence runs).
    bool heldByOther() const
    {
        return (m_owner.m_job != Job::None && m_owner.m_job != Job::Boot) || m_owner.m_waitLoop
               || m_owner.m_settleLoop;
    }

    DeviceConnection &m_owner;
};

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

    m_reconnectTimer.setParent(this);
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &DeviceConnection::tryReconnect);
    m_toTimer.setObjectName(QStringLiteral("TOTimer"));
    m_toTimer.setSingleShot(true);
    m_toTimer.setInterval(ConnectTimeoutMs);
    connect(&m_toTimer, &QTimer::timeout, this, &DeviceConnection::TOTimerTimer);

    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, &DeviceConnection::wakeWait);
    m_boot = std::make_unique<BootSide>(*this);
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
// Who holds the link

QString DeviceConnection::BusyWith() const
{
    return m_job == Job::None ? QString() : m_jobName;
}

bool DeviceConnection::refuseWhileBusy()
{
    // The holder of the link never asks while it waits, and the firmware
    // update writes through its own view: a request now is someone else's.
    if (!m_waitLoop && !m_settleLoop && m_job != Job::Boot)
        return false;
    tellBusy();
    return true;
}

void DeviceConnection::tellBusy()
{
    m_user.TellBusy(QStringLiteral("Mirto is busy with %1. Nothing was sent; try again when it has finished.")
                        .arg(m_jobName));
}

void DeviceConnection::beginJob(Job job, const QString &name)
{
    m_job = job;
    m_jobName = name;
    UpdateConnectionStatus();
}

void DeviceConnection::endJob()
{
    m_job = Job::None;
    m_jobName.clear();
    UpdateConnectionStatus();
}

bool DeviceConnection::BeginSequence(const QString &job)
{
    if (m_job != Job::None) {
        tellBusy();
        return false;
    }
    beginJob(Job::Sequence, job);
    return true;
}

void DeviceConnection::EndSequence()
{
    if (m_job == Job::Sequence)
        endJob();
}

// ---------------------------------------------------------------------------
// Sending and the exchange

bool DeviceConnection::SendCommand(const QByteArray &text)
{
    if (refuseWhileBusy())
        return false;
    return writeLine(text);
}

bool DeviceConnection::writeLine(const QByteArray &text)
{
    if (network()) {
        if (!m_clientSocket.Active())
            return false;
        // A line that does not go out whole is not sent at all: a cut
        // command could do something else in the device.
        if (m_clientSocket.SendString(text) != text.size()) {
            if (m_clientSocket.Active())
                tellUser(QStringLiteral("The command could not be sent: the network connection takes no more "
                                        "data. Nothing of it was sent."));
            return false;
        }
    } else if (m_vaComm.Active()) {
        try {
            if (m_vaComm.WriteBuf(text.constData(), int(qMin<qsizetype>(text.size(), PieceCapacity)))
                != qMin<qsizetype>(text.size(), PieceCapacity))
                return false;
        } catch (const SerialPortError &error) {
            m_user.ShowLinkError(error);
            return false;
        }
    } else {
        portNotOpen();
        return false;
    }
    // The device answers every command line with one prompt.
    dropExpiredPrompts();
    for (char c : text) {
        if (c == '\n') {
            ++m_sent;
            m_owed.emplace_back(PromptTimeoutMs);
        }
    }
    return true;
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

void DeviceConnection::forgetOwedPrompts()
{
    m_owed.clear();
    m_answered = m_sent;
}

void DeviceConnection::dropExpiredPrompts()
{
    // A prompt that did not come in time is written off, so that it cannot
    // be taken for the answer of a later command when the device stays
    // silent; one that arrives later still is credited to the next line.
    // Each keeps the deadline it got when its line went out: a quiet device
    // costs one time-out after the last line, not one per line.
    while (!m_owed.empty() && m_owed.front().hasExpired()) {
        m_owed.pop_front();
        ++m_answered;
    }
}

void DeviceConnection::promptCredited()
{
    m_owed.pop_front();
    ++m_answered;
    // A device that answers is working through the lines queued in it: the
    // next one is owed its usual time from this answer on, even when its own
    // deadline is nearer. Only an answer earns this, so silence never does.
    if (!m_owed.empty()) {
        const QDeadlineTimer usual(PromptTimeoutMs);
        if (m_owed.front() < usual)
            m_owed.front() = usual;
    }
}

bool DeviceConnection::ExchangeCommand(const QByteArray &text)
{
    if (refuseWhileBusy())
        return false;
    const bool ownJob = m_job == Job::None;
    if (ownJob)
        beginJob(Job::Exchange, QStringLiteral("a command"));
    m_promptSeen = false;
    m_reply.clear();
    bool seen = false;
    if (writeLine(text))
        seen = WaitForPrompt(m_sent);
    m_promptSeen = seen;
    if (ownJob)
        endJob();
    return seen;
}

bool DeviceConnection::linkAlive() const
{
    return network() ? m_clientSocket.Active() : m_vaComm.Active();
}

bool DeviceConnection::WaitForPrompt(quint64 own)
{
    m_target = own;
    m_ownArrived = false;
    QEventLoop loop;
    m_waitLoop = &loop;
    // The loop serves everything (input, painting, other windows), so the
    // tool never freezes while the device thinks; what others ask of the
    // device meanwhile is refused.
    QMetaObject::invokeMethod(this, &DeviceConnection::wakeWait, Qt::QueuedConnection);
    loop.exec();
    m_waitLoop = nullptr;
    m_waitTimer.stop();
    const bool seen = std::exchange(m_ownArrived, false);
    m_target = 0;
    if (!m_heldMessages.isEmpty())
        QTimer::singleShot(0, this, &DeviceConnection::flushMessages);
    return seen;
}

void DeviceConnection::wakeWait()
{
    if (!m_waitLoop)
        return;
    if (m_answered >= m_target || m_shutDown || !linkAlive() || m_owed.empty()) {
        m_waitLoop->quit();
        return;
    }
    // Prompts owed to earlier lines come first, each within its own time;
    // the oldest one still owed sets the next wake-up.
    while (!m_owed.empty() && m_owed.front().hasExpired()) {
        m_owed.pop_front();
        ++m_answered;
        if (m_answered >= m_target) {
            m_waitLoop->quit(); // the own prompt did not come: written off
            return;
        }
        // An earlier line's prompt did not come: written off, with its text.
        m_reply.clear();
    }
    if (m_owed.empty()) {
        m_waitLoop->quit();
        return;
    }
    m_waitTimer.start(int(qMax<qint64>(0, m_owed.front().remainingTime())));
}

void DeviceConnection::collectReply(const QByteArray &piece)
{
    if (m_reply.size() + 40 > 100)
        m_reply.clear();
    qsizetype from = 0;
    bool credited = false;
    for (qsizetype i = 0; i < piece.size(); ++i) {
        if (piece.at(i) != '>')
            continue;
        m_promptSeen = true;
        if (m_owed.empty())
            continue; // owed to no line: the device's own text
        promptCredited();
        credited = true;
        if (m_waitLoop && m_answered == m_target)
            m_ownArrived = true;
        if (m_waitLoop && m_answered < m_target) {
            // An earlier line's prompt: its text is not the waiting
            // exchange's answer.
            m_reply.clear();
            from = i + 1;
        }
    }
    m_reply += piece.mid(from);
    // The buffer keeps the newest text: the prompt and the lines before it
    // are what an exchange reads.
    if (m_reply.size() > ReplyCapacity)
        m_reply.remove(0, m_reply.size() - ReplyCapacity);
    if (credited)
        wakeWait();
}

// ---------------------------------------------------------------------------
// Receiving

BootPort &DeviceConnection::Boot()
{
    return *m_boot;
}

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
    const QByteArray text(bytes.constData(), qstrnlen(bytes.constData(), size_t(bytes.size())));
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
    m_user.AddStatus(QStringLiteral("Device disconnected"));
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
    if (m_autoReconnect)
        armReconnect();
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
// Connection management

void DeviceConnection::portOpenFailed(const SerialPortError &error)
{
    const QString number = QString::number(m_vaComm.PortNum());
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
    disarmReconnect();
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
        m_toTimer.start(ConnectTimeoutMs);
        UpdateConnectionStatus();
        try {
            m_clientSocket.SetHost(HostAddress);
            m_clientSocket.Open();
        } catch (const std::exception &error) {
            m_toTimer.stop();
            dropWhenConnected();
            m_user.RestoreCursor();
            UpdateConnectionStatus();
            m_user.ShowLinkError(error);
        }
        return;
    }

    m_connected = false;
    if (!m_vaComm.Active()) {
        try {
            m_vaComm.Open();
        } catch (const SerialPortError &error) {
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

bool DeviceConnection::Identify()
{
    if (refuseWhileBusy())
        return false;
    if (!m_connected)
        return false;
    // Inside a job (programming opens the link first) the identification
    // is part of that job; otherwise it is one of its own.
    const bool ownJob = m_job == Job::None;
    if (ownJob)
        beginJob(Job::Sequence, QStringLiteral("identifying the device"));
    m_user.SetBusyCursor();
    const bool identified = identify();
    if (ownJob)
        endJob();
    if (!identified) {
        noResponse();
        return false;
    }
    m_user.RestoreCursor();
    UpdateConnectionStatus();
    return true;
}

void DeviceConnection::Reidentify()
{
    // Only serial and USB identify; a job that holds the link keeps it.
    if (!network() && m_job == Job::None)
        Identify();
}

bool DeviceConnection::identify()
{
    return readIdentification(true) != IdentOutcome::NoAnswer;
}

DeviceConnection::IdentOutcome DeviceConnection::readIdentification(bool showPartial)
{
    if (!ExchangeCommand("snum\n"))
        return IdentOutcome::NoAnswer;
    const IdentPart serial = ParseIdentPart(m_reply, "Serialnumber", 22);
    if (!ExchangeCommand("ver\n"))
        return IdentOutcome::NoAnswer;
    const IdentPart version = ParseIdentPart(m_reply, "V:", 3);
    const QByteArray unknown = QByteArrayLiteral("?????");
    const bool whole = serial.text != unknown && version.text != unknown;
    if (!whole && !showPartial)
        return IdentOutcome::Partial;
    // A value is kept whole: a shorter one must not leave the end of the
    // one before behind it.
    if (serial.store)
        m_identity.serial = serial.text;
    if (version.store)
        m_identity.version = version.text;
    m_identity.readSerial = serial.text;
    m_identity.readVersion = version.text;
    m_user.ShowIdentification(QString::fromLatin1(" SN: [" + serial.text + "]   SW: [" + version.text + "]"));
    return whole ? IdentOutcome::Whole : IdentOutcome::Partial;
}

bool DeviceConnection::IdentifyAfterRestart()
{
    if (refuseWhileBusy() || network() || !m_connected)
        return false;
    const bool ownJob = m_job == Job::None;
    if (ownJob)
        beginJob(Job::Sequence, QStringLiteral("identifying the device"));
    m_user.SetBusyCursor();
    const QDeadlineTimer deadline(RestartIdentifyMs);
    // A device that has just restarted may still be greeting (a line and its
    // prompt): a command sent meanwhile is lost, and the greeting's prompt
    // would pass for its answer. Its line goes quiet first, and an answer
    // that is not whole is asked for again while time remains.
    IdentOutcome outcome = IdentOutcome::NoAnswer;
    int quietMs = RestartQuietMs;
    while (waitForQuiet(quietMs, deadline)) {
        outcome = readIdentification(false);
        if (outcome == IdentOutcome::Whole || !linkAlive() || m_shutDown)
            break;
        quietMs = QuietMs;
    }
    if (outcome == IdentOutcome::Partial && !linkAlive())
        outcome = IdentOutcome::NoAnswer;
    if (ownJob)
        endJob();
    if (outcome == IdentOutcome::NoAnswer) {
        noResponse();
        return false;
    }
    if (outcome == IdentOutcome::Partial) {
        // It answered, but never with who it is: the panel stays as "not
        // available", and the status list says why.
        m_user.RestoreCursor();
        m_user.AddStatus(QStringLiteral("Mirto did not identify itself after its restart"));
        UpdateConnectionStatus();
        return false;
    }
    m_user.RestoreCursor();
    UpdateConnectionStatus();
    return true;
}

bool DeviceConnection::waitForQuiet(int quietMs, const QDeadlineTimer &deadline)
{
    if (!m_lastReceived.isValid())
        m_lastReceived.start();
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool quiet = false;
    const auto check = [&] {
        if (m_shutDown || !linkAlive() || deadline.hasExpired()) {
            loop.quit();
            return;
        }
        const qint64 silent = m_lastReceived.elapsed();
        if (silent >= quietMs) {
            quiet = true;
            loop.quit();
            return;
        }
        // Woken when the line has been quiet long enough since its last
        // byte, or at the deadline.
        timer.start(int(qMin<qint64>(quietMs - silent, qMax<qint64>(0, deadline.remainingTime()))));
    };
    connect(&timer, &QTimer::timeout, &loop, check);
    connect(&m_vaComm, &SerialPort::DeviceLost, &loop, &QEventLoop::quit);
    // The quiet is counted from now at the earliest: what came before the
    // restart says nothing about the device now.
    m_lastReceived.restart();
    m_settleLoop = &loop;
    QMetaObject::invokeMethod(&loop, check, Qt::QueuedConnection);
    loop.exec();
    m_settleLoop = nullptr;
    return quiet;
}

void DeviceConnection::noResponse()
{
    m_user.RestoreCursor();
    // A device that went away has said so (the status list, the panel); it
    // did not fail to answer.
    if (!m_linkLost) {
        m_user.AppendTerminal("No response from Mirto");
        m_user.AddStatus(QStringLiteral("No response from Mirto"));
    }
    UpdateConnectionStatus();
}

void DeviceConnection::CloseConnectionClicked()
{
    disarmReconnect();
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
    state.CloseEnabled = free && m_connected;
    state.PortListEnabled = free && m_portListEnabled;
    m_user.ShowConnectionState(state);
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
    if (m_reconnectArmed) {
        disarmReconnect();
        m_user.ShowReconnect(QStringLiteral("Reconnected to %1").arg(HostAddress));
    }
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
    if (m_autoReconnect) {
        armReconnect();
        return;
    }
    tellUser(QStringLiteral(" Socket Connection closed by Mirto"));
}

void DeviceConnection::tellUser(const QString &text)
{
    // A message box runs an event loop of its own, which would hold the
    // waiting command's loop until the box is closed: the box waits for the
    // wait's end.
    if (m_waitLoop)
        m_heldMessages << text;
    else
        m_user.TellUser(text);
}

void DeviceConnection::flushMessages()
{
    // Another wait may have begun since this was posted; its end posts again.
    if (m_waitLoop)
        return;
    const QStringList texts = std::exchange(m_heldMessages, {});
    for (const QString &text : texts)
        m_user.TellUser(text);
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
        if (m_reconnectArmed) {
            retryNetworkLater();
        } else if (m_autoReconnect) {
            m_user.ShowReconnect(QStringLiteral("The connection to %1 was broken").arg(HostAddress));
            armReconnect();
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
    if (m_reconnectArmed) {
        retryNetworkLater();
        return;
    }
    tellUser(QStringLiteral("Unable to connect...."));
}

// ---------------------------------------------------------------------------
// Automatic reconnect

void DeviceConnection::SetAutoReconnect(bool on)
{
    m_autoReconnect = on;
    if (!on)
        disarmReconnect();
}

void DeviceConnection::armReconnect()
{
    if (m_shutDown || m_reconnectArmed)
        return;
    m_reconnectArmed = true;
    m_retryMs = FirstRetryMs;
    if (network()) {
        m_user.ShowReconnect(QStringLiteral("Connection to %1 lost; trying again in %2 s")
                                 .arg(HostAddress)
                                 .arg(m_retryMs / 1000));
        m_reconnectTimer.start(m_retryMs);
        return;
    }
    // The port's link in the ports folder comes back with its device: the
    // folder is watched, not polled.
    m_user.ShowReconnect(QStringLiteral("COM%1 went away; waiting for it to come back").arg(m_vaComm.PortNum()));
    if (!m_portWatcher) {
        m_portWatcher = new QFileSystemWatcher(this);
        connect(m_portWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
            // The device node may follow its link a moment later.
            if (m_reconnectArmed)
                m_reconnectTimer.start(200);
        });
    }
    m_portWatcher->addPath(ComPortFolder());
}

void DeviceConnection::disarmReconnect()
{
    m_reconnectArmed = false;
    m_reconnectTimer.stop();
    m_retryMs = FirstRetryMs;
    if (m_portWatcher && !m_portWatcher->directories().isEmpty())
        m_portWatcher->removePaths(m_portWatcher->directories());
}

void DeviceConnection::retryNetworkLater()
{
    m_retryMs = std::min(m_retryMs * 2, LongestRetryMs);
    m_user.ShowReconnect(QStringLiteral("Reconnect to %1 failed; trying again in %2 s")
                             .arg(HostAddress)
                             .arg(m_retryMs / 1000));
    m_reconnectTimer.start(m_retryMs);
}

void DeviceConnection::tryReconnect()
{
    if (!m_reconnectArmed || m_shutDown)
        return;
    // A job that holds the link (an update waiting for its boot loader) has
    // it; the link is not opened under it.
    if (m_job != Job::None) {
        m_reconnectTimer.start(m_retryMs);
        return;
    }
    if (network()) {
        if (m_toTimer.isActive() || m_connected)
            return;
        m_user.ShowReconnect(QStringLiteral("Reconnecting to %1...").arg(HostAddress));
        m_toTimer.start(ConnectTimeoutMs);
        UpdateConnectionStatus();
        try {
            m_clientSocket.SetHost(HostAddress);
            m_clientSocket.Open();
        } catch (const std::exception &error) {
            m_toTimer.stop();
            m_clientSocket.Close();
            UpdateConnectionStatus();
            m_user.ShowReconnect(QString::fromLocal8Bit(error.what()));
            retryNetworkLater();
        }
        return;
    }
    if (!QFileInfo::exists(ComPortFolder() + QStringLiteral("/COM%1").arg(m_vaComm.PortNum())))
        return;
    try {
        m_vaComm.Open();
    } catch (const SerialPortError &) {
        // Back in the folder but not yet to be opened: the next change or
        // a second look tells.
        m_reconnectTimer.start(m_retryMs);
        return;
    }
    disarmReconnect();
    forgetOwedPrompts();
    m_user.ShowReconnect(QStringLiteral("COM%1 is back; identifying the device").arg(m_vaComm.PortNum()));
    m_user.PortsChanged();
    OpenConnectionClicked(true);
    if (!m_identity.readSerial.isEmpty())
        m_user.ShowReconnect(QStringLiteral("Reconnected to COM%1").arg(m_vaComm.PortNum()));
}
