#include "core/ReconnectPolicy.h"

#include "core/DeviceConnection.h"
#include "core/links/ComPorts.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include <algorithm>
#include <utility>

namespace {

// The folder itself, or the nearest one above it that exists: a stable
// path's folder goes with the last device in it, and the one above tells
// when it is made again.
QString nearestFolder(QString folder)
{
    while (!folder.isEmpty() && !QFileInfo(folder).isDir()) {
        const QString up = QFileInfo(folder).absolutePath();
        if (up == folder)
            return {};
        folder = up;
    }
    return folder;
}

} // namespace

bool ReconnectPolicy::serverPort() const
{
    return !m_conn.network() && RemotePortAddress(ComPortTarget(m_conn.m_vaComm.PortNum()));
}

ReconnectPolicy::ReconnectPolicy(DeviceConnection &connection, const QString &deviceFolder)
    : QObject(&connection), m_conn(connection), m_deviceFolder(deviceFolder)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ReconnectPolicy::look);
}

ReconnectPolicy::~ReconnectPolicy() = default;

void ReconnectPolicy::SetEnabled(bool on)
{
    m_enabled = on;
    if (!on)
        Stop();
}

QString ReconnectPolicy::port() const
{
    return m_conn.network() ? m_conn.HostAddress : QStringLiteral("COM%1").arg(m_conn.m_vaComm.PortNum());
}

void ReconnectPolicy::LinkLost(const DeviceIdentity &unit)
{
    if (!m_enabled || m_conn.m_shutDown || m_armed)
        return;
    m_armed = true;
    m_unit = unit;
    m_retryMs = FirstRetryMs;
    if (m_conn.network()) {
        m_conn.m_user.ShowReconnect(QStringLiteral("Connection to %1 lost; trying again in %2 s")
                                        .arg(port())
                                        .arg(m_retryMs / 1000));
        m_timer.start(m_retryMs);
        m_conn.UpdateConnectionStatus();
        return;
    }
    // A port on a serial server has no device node to come back: the
    // server is tried again, less often each time.
    if (serverPort()) {
        m_conn.m_user.ShowReconnect(
            QStringLiteral("%1 went away; trying again in %2 s").arg(port()).arg(m_retryMs / 1000));
        m_timer.start(m_retryMs);
        m_conn.UpdateConnectionStatus();
        return;
    }
    m_conn.m_user.ShowReconnect(QStringLiteral("%1 went away; waiting for it to come back").arg(port()));
    watchForDevice();
    // A device may be back already, its new port in place before the old
    // one hung up: no change would ever wake the watch for it. A port that
    // merely has not gone yet is no news: that look fails quietly.
    m_quietLook = true;
    m_timer.start(0);
    m_conn.UpdateConnectionStatus();
}

void ReconnectPolicy::watchForDevice()
{
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(this);
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
            if (m_armed && !m_conn.network())
                m_timer.start(SettleMs);
        });
    }
    const QString entry = ComPortFolder() + QStringLiteral("/COM%1").arg(m_conn.m_vaComm.PortNum());
    QStringList folders {ComPortFolder(), m_deviceFolder};
    // The path the entry points at (a USB device's stable path) returns in
    // its own folder.
    const QString target = QFileInfo(entry).symLinkTarget();
    if (!target.isEmpty())
        folders << QFileInfo(target).absolutePath();
    for (const QString &folder : std::as_const(folders)) {
        const QString watched = nearestFolder(folder);
        if (!watched.isEmpty() && !m_watcher->directories().contains(watched))
            m_watcher->addPath(watched);
    }
}

void ReconnectPolicy::Stop()
{
    if (!m_armed)
        return;
    disarm();
    m_conn.m_user.ShowReconnect(QStringLiteral("Reconnect to %1 stopped").arg(port()));
}

void ReconnectPolicy::disarm()
{
    m_armed = false;
    m_toldNotOpen = false;
    m_quietLook = false;
    m_timer.stop();
    m_retryMs = FirstRetryMs;
    if (m_watcher && !m_watcher->directories().isEmpty())
        m_watcher->removePaths(m_watcher->directories());
}

void ReconnectPolicy::JobEnded()
{
    if (m_armed && !m_timer.isActive())
        m_timer.start(0);
}

void ReconnectPolicy::look()
{
    if (!m_armed || m_conn.m_shutDown)
        return;
    // A job that holds the link (an update waiting for its boot loader) has
    // it; the link is not opened under it. Its end looks again.
    if (m_conn.m_job != DeviceConnection::Job::None)
        return;
    if (m_conn.network())
        tryNetwork();
    else
        lookSerial();
}

void ReconnectPolicy::lookSerial()
{
    const bool quiet = std::exchange(m_quietLook, false);
    const bool server = serverPort();
    // A stable path's folder that was made again is watched from now on.
    if (!server)
        watchForDevice();
    const int number = m_conn.m_vaComm.PortNum();
    if (!server && !QFileInfo::exists(ComPortFolder() + QStringLiteral("/COM%1").arg(number)))
        return;
    try {
        m_conn.m_vaComm.Open();
    } catch (const SerialPortError &error) {
        // Back, but not yet to be opened (its node is still being set up):
        // a second look tells.
        if (!quiet && !std::exchange(m_toldNotOpen, true))
            m_conn.m_user.ShowReconnect(
                QStringLiteral("%1 is back but cannot be opened yet: %2").arg(port(), error.message()));
        if (server)
            m_retryMs = std::min(m_retryMs * 2, LongestRetryMs);
        m_timer.start(server ? m_retryMs : FirstRetryMs);
        return;
    }
    const DeviceIdentity unit = m_unit;
    disarm();
    m_conn.forgetOwedPrompts();
    m_conn.m_user.ShowReconnect(QStringLiteral("%1 is back; identifying the device").arg(port()));
    m_conn.m_user.PortsChanged();
    m_conn.OpenConnectionClicked(true);
    const QByteArray serial = m_conn.IdentifiedSerial();
    // No answer has been told as such.
    if (serial.isEmpty())
        return;
    const QString text = unit.Check(serial) == DeviceIdentity::Verdict::Another
                             ? DeviceIdentity::AnotherDeviceText(port(), serial, unit.Serial())
                             : QStringLiteral("Reconnected to %1").arg(port());
    m_conn.m_user.ShowReconnect(text);
    m_conn.markTerminal(text);
}

void ReconnectPolicy::tryNetwork()
{
    if (m_conn.m_toTimer.isActive() || m_conn.m_connected)
        return;
    m_conn.m_user.ShowReconnect(QStringLiteral("Reconnecting to %1...").arg(port()));
    m_conn.openNetworkAttempt([this](const std::exception &error) {
        m_conn.m_clientSocket.Close();
        m_conn.UpdateConnectionStatus();
        m_conn.m_user.ShowReconnect(QString::fromLocal8Bit(error.what()));
        retryNetworkLater();
    });
}

void ReconnectPolicy::retryNetworkLater()
{
    m_retryMs = std::min(m_retryMs * 2, LongestRetryMs);
    m_conn.m_user.ShowReconnect(QStringLiteral("Reconnect to %1 failed; trying again in %2 s")
                                    .arg(port())
                                    .arg(m_retryMs / 1000));
    m_timer.start(m_retryMs);
    m_conn.UpdateConnectionStatus();
}

bool ReconnectPolicy::NetworkConnected()
{
    if (!m_armed)
        return false;
    disarm();
    const QString text = QStringLiteral("Reconnected to %1").arg(port());
    m_conn.m_user.ShowReconnect(text);
    m_conn.markTerminal(text);
    return true;
}

bool ReconnectPolicy::NetworkFailed()
{
    if (!m_armed)
        return false;
    retryNetworkLater();
    return true;
}
