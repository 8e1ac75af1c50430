#include "core/links/SerialPort.h"

#include "core/links/ComPorts.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kWhileOpen = QStringLiteral("Can't perform this operation while port is open");

// Where the system refuses a device, say why and how a Linux user gets in.
QString accessHint(const QString &target)
{
    struct stat st {};
    const QByteArray path = QFile::encodeName(QFileInfo(target).canonicalFilePath());
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0)
        return {};
    QString group;
    if (const struct group *gr = ::getgrgid(st.st_gid))
        group = QString::fromLocal8Bit(gr->gr_name);
    return SerialAccessAdvice(QString::fromLocal8Bit(path), group, uint(st.st_mode));
}

} // namespace

QString SerialAccessAdvice(const QString &device, const QString &group, uint mode)
{
    QString text = QStringLiteral("\n\nThe system refused access to %1.").arg(device);
    if ((mode & S_IROTH) && (mode & S_IWOTH)) {
        // Every user may read and write it: no group or rule lets anyone in
        // further, so something else (an access list, a security module)
        // keeps the user out.
        return text + QStringLiteral(" Its permissions let every user read and write it, so "
                                     "something else keeps you out: ask your administrator.");
    }
    // The device's USB bridge is a usb-serial converter, which the kernel
    // names ttyUSBn; the package's rule hands it to whoever sits at the
    // machine, without joining a group or logging out.
    const bool usbCable = QFileInfo(device).fileName().startsWith(QLatin1String("ttyUSB"));
    const bool groupGrants = (mode & S_IRGRP) && (mode & S_IWGRP);
    const bool joinable = groupGrants && !group.isEmpty() && group != QLatin1String("root");
    if (usbCable)
        text += QStringLiteral(" If this is the Mirto's USB cable: the udev rule 70-mirto-usb.rules "
                               "gives it to the user logged in at this machine. Install the "
                               "mirto-terminal package (or copy packaging/70-mirto-usb.rules from "
                               "the tool's source to /etc/udev/rules.d), then unplug the cable "
                               "and plug it in again.");
    if (joinable)
        text += QStringLiteral(" %1Serial devices belong to the group '%2': add your user to it "
                               "(sudo usermod -aG %2 $USER), then log out and in again.")
                    .arg(usbCable ? QStringLiteral("Otherwise: ") : QString(), group);
    if (!usbCable && !joinable)
        text += QStringLiteral(" No group you could join opens it: ask your administrator for "
                               "access, for example a udev rule that gives it to your user.");
    return text;
}

SerialPort::SerialPort(QObject *parent) : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialPort::handleReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialPort::handleError);
    connect(&m_remote, &Rfc2217Link::ReadyRead, this, &SerialPort::handleReadyRead);
    connect(&m_remote, &Rfc2217Link::Lost, this, &SerialPort::handleRemoteLost);
}

SerialPort::~SerialPort()
{
    disconnect(&m_remote, nullptr, this, nullptr);
    if (m_port.isOpen())
        m_port.close();
    m_remote.Close();
}

QString SerialPort::PortName() const
{
    QString name = m_deviceName;
    return name.replace(QLatin1String("%d"), QString::number(m_portNum));
}

QString SerialPort::LockFolder() const
{
    const QString target = m_deviceName == QLatin1String("COM%d") ? ComPortTarget(m_portNum) : PortName();
    QString name = QFileInfo(target).canonicalFilePath();
    if (name.isEmpty())
        return {};
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    // Where serial ports' lock files are kept, in the order they are looked
    // for: the system's folders, then the temporary one.
    for (const QString &folder : {QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
                                  QStringLiteral("/var/spool/uucp"), QDir::tempPath()})
        if (QFileInfo::exists(folder + QStringLiteral("/LCK..") + name))
            return folder;
    return {};
}

void SerialPort::requireClosed() const
{
    if (Active())
        throw SerialPortError(kWhileOpen);
}

void SerialPort::SetPortNum(int portNum)
{
    requireClosed();
    m_portNum = portNum;
}

void SerialPort::SetDeviceName(const QString &pattern)
{
    requireClosed();
    m_deviceName = pattern;
}

void SerialPort::SetBuffers(const BufferSettings &buffers)
{
    requireClosed();
    m_buffers = buffers;
}

void SerialPort::SetBaudrate(qint32 baudrate)
{
    m_baudrate = baudrate;
    if (Active())
        applyLineSettings();
}

void SerialPort::SetDatabits(QSerialPort::DataBits bits)
{
    m_dataBits = bits;
    if (Active())
        applyLineSettings();
}

void SerialPort::SetParity(QSerialPort::Parity parity)
{
    m_parity = parity;
    if (Active())
        applyLineSettings();
}

void SerialPort::SetStopbits(QSerialPort::StopBits bits)
{
    m_stopBits = bits;
    if (Active())
        applyLineSettings();
}

void SerialPort::SetFlowControl(const FlowControlSettings &flow)
{
    m_flow = flow;
    if (Active())
        applyLineSettings();
}

QSerialPort::FlowControl SerialPort::flowControl() const
{
    if (m_flow.OutCtsFlow || m_flow.ControlRts == RtsControl::Handshake)
        return QSerialPort::HardwareControl;
    if (m_flow.XonXoffIn || m_flow.XonXoffOut)
        return QSerialPort::SoftwareControl;
    return QSerialPort::NoFlowControl;
}

Rfc2217Link::LineSettings SerialPort::remoteSettings() const
{
    Rfc2217Link::LineSettings settings;
    settings.Baudrate = m_baudrate;
    settings.DataBits = m_dataBits;
    settings.Parity = m_parity;
    settings.StopBits = m_stopBits;
    settings.Flow = flowControl();
    settings.Dtr = m_flow.ControlDtr == DtrControl::Enabled;
    settings.Rts = m_flow.ControlRts == RtsControl::Enabled;
    return settings;
}

void SerialPort::applyLineSettings()
{
    if (remote()) {
        m_remote.Apply(remoteSettings());
        return;
    }
    const QSerialPort::FlowControl flow = flowControl();
    const bool ok = m_port.setBaudRate(m_baudrate) && m_port.setDataBits(m_dataBits)
                    && m_port.setParity(m_parity) && m_port.setStopBits(m_stopBits)
                    && m_port.setFlowControl(flow);
    if (!ok)
        throw SerialPortError(QStringLiteral("Error writing dcb (%1), %2")
                                  .arg(int(m_port.error()))
                                  .arg(m_port.errorString()));
    // Pseudo-terminals have no modem lines; a refusal there is harmless.
    m_port.setDataTerminalReady(m_flow.ControlDtr == DtrControl::Enabled);
    if (flow != QSerialPort::HardwareControl)
        m_port.setRequestToSend(m_flow.ControlRts == RtsControl::Enabled);
    m_port.clearError();
}

void SerialPort::throwOpenError(const QString &target)
{
    const QString name = PortName();
    const QSerialPort::SerialPortError error = m_port.error();
    const QString reason = m_port.errorString();
    m_port.clearError();
    if (error == QSerialPort::DeviceNotFoundError)
        throw SerialPortError(QStringLiteral("Specified device not found (%1).").arg(name),
                              SerialPortError::Cause::NotFound);
    int code = EIO;
    QString hint;
    if (error == QSerialPort::PermissionError) {
        // A device held by another program comes back as a permission error
        // too; only a device the system really refuses us earns the hint.
        const QByteArray path = QFile::encodeName(QFileInfo(target).canonicalFilePath());
        const bool refused = ::access(path.constData(), R_OK | W_OK) != 0;
        code = refused ? EACCES : EBUSY;
        if (refused)
            hint = accessHint(target);
    }
    throw SerialPortError(QStringLiteral("Can't open specified device %1 (Error %2, %3)%4")
                              .arg(name)
                              .arg(code)
                              .arg(reason, hint),
                          code == EBUSY ? SerialPortError::Cause::InUse : SerialPortError::Cause::Other);
}

void SerialPort::Open()
{
    if (Active())
        throw SerialPortError(kWhileOpen);
    const QString target = m_deviceName == QLatin1String("COM%d") ? ComPortTarget(m_portNum)
                                                                   : PortName();
    m_lostReason.clear();
    QString host;
    quint16 tcpPort = 0;
    if (RemotePortAddress(target, &host, &tcpPort)) {
        m_serverOpened = true;
        m_remote.Open(PortName(), host, tcpPort, remoteSettings());
        m_announced = false;
        return;
    }
    m_serverOpened = false;
    if (target.isEmpty() || !QFileInfo::exists(target))
        throw SerialPortError(QStringLiteral("Specified device not found (%1).").arg(PortName()),
                              SerialPortError::Cause::NotFound);
    m_port.setPortName(QFileInfo(target).canonicalFilePath());
    m_port.setReadBufferSize(0);
    if (!m_port.open(QIODevice::ReadWrite))
        throwOpenError(target);
    try {
        applyLineSettings();
    } catch (...) {
        m_port.close();
        throw;
    }
    m_announced = false;
}

void SerialPort::Close()
{
    if (!Active())
        return;
    m_port.close();
    m_remote.Close();
    // Gives the device and its USB bridge time to settle before the port can
    // be opened again; reopening at once loses the bridge's first bytes.
    std::this_thread::sleep_for(std::chrono::milliseconds(ClosePauseMs));
}

bool SerialPort::Active() const
{
    return m_port.isOpen() || m_remote.IsOpen();
}

int SerialPort::ReadBuf(char *buffer, int count)
{
    if (!Active() || count <= 0)
        return 0;
    const qint64 n = remote() ? m_remote.Read(buffer, count) : m_port.read(buffer, count);
    return n > 0 ? int(n) : 0;
}

int SerialPort::BytesWaiting() const
{
    if (!Active())
        return 0;
    return int(qMin<qint64>(remote() ? m_remote.BytesAvailable() : m_port.bytesAvailable(), INT_MAX));
}

bool SerialPort::ReadChar(char &byte)
{
    char c = 0;
    if (ReadBuf(&c, 1) != 1)
        return false;
    byte = c;
    return true;
}

int SerialPort::WriteBuf(const char *data, int count)
{
    if (!Active() || count <= 0)
        return 0;
    const QString full = QStringLiteral("Output buffer is full. Please check comm status.");
    // More than the queue holds can never fit: waiting would only burn the
    // time-out.
    if (count > m_buffers.WriteSize)
        throw SerialPortError(full);
    if (pendingOut() + count > m_buffers.WriteSize) {
        // Wait on the line itself for room; nothing else runs meanwhile.
        QDeadlineTimer deadline(m_buffers.WriteTimeout);
        while (Active() && pendingOut() + count > m_buffers.WriteSize) {
            const qint64 left = deadline.remainingTime();
            if (left <= 0 || !waitWritten(int(left)))
                break; // timed out, or the line failed
        }
        if (!Active())
            return 0;
        if (pendingOut() + count > m_buffers.WriteSize)
            throw SerialPortError(full);
    }
    if (remote()) {
        if (!m_remote.Write(data, count))
            return 0;
        m_remote.Flush();
        return count;
    }
    const qint64 n = m_port.write(data, count);
    // Hand the bytes to the line now: while a stream of incoming data keeps
    // the reader busy, a command left queued would wait for a quiet moment.
    if (n > 0)
        m_port.flush();
    return n > 0 ? int(n) : 0;
}

qint64 SerialPort::pendingOut() const
{
    return remote() ? m_remote.BytesToWrite() : m_port.bytesToWrite();
}

bool SerialPort::waitWritten(int msecs)
{
    return remote() ? m_remote.WaitForBytesWritten(msecs) : m_port.waitForBytesWritten(msecs);
}

bool SerialPort::WriteChar(char byte)
{
    return WriteBuf(&byte, 1) == 1;
}

bool SerialPort::WaitForData(int msecs)
{
    if (!Active())
        return false;
    m_announced = false;
    QDeadlineTimer deadline(msecs);
    if (remote()) {
        // The link announces what arrives itself, nested or not.
        while (remote() && !m_announced) {
            const qint64 left = deadline.remainingTime();
            if (left <= 0 || !m_remote.WaitForReadyRead(int(left)))
                break;
        }
        return m_announced;
    }
    while (Active() && !m_announced) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        const qint64 before = m_port.bytesAvailable();
        const bool arrived = m_port.waitForReadyRead(int(left));
        // Inside a handler of our own notification the port does not notify
        // again; the bytes are there all the same.
        if (arrived && !m_announced && m_port.bytesAvailable() > before)
            handleReadyRead();
        if (!arrived && m_port.error() == QSerialPort::TimeoutError) {
            m_port.clearError();
            break;
        }
    }
    return m_announced;
}

void SerialPort::handleReadyRead()
{
    const qint64 waiting = remote() ? m_remote.BytesAvailable() : m_port.bytesAvailable();
    if (waiting <= 0)
        return;
    m_announced = true;
    Q_EMIT OnRxChar(this, int(qMin<qint64>(waiting, INT_MAX)));
}

void SerialPort::handleRemoteLost()
{
    // As a cable pulled: closed quietly, the owner told once.
    m_lostReason = m_remote.LostReason();
    // The socket is put away once its own notification has ended.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_remote.IsOpen())
                m_remote.Close();
        },
        Qt::QueuedConnection);
    Q_EMIT DeviceLost();
}

void SerialPort::handleError(QSerialPort::SerialPortError error)
{
    const bool gone = error == QSerialPort::ResourceError || error == QSerialPort::ReadError
                      || error == QSerialPort::WriteError;
    if (!gone || !m_port.isOpen())
        return;
    // The device is gone (a USB cable pulled, a pseudo-terminal closed): reads
    // fail at once, over and over. Close without the settling pause and tell
    // the owner once, instead of spinning on the failing line.
    m_port.close();
    m_port.clearError();
    Q_EMIT DeviceLost();
}
