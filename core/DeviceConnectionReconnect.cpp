#include "core/DeviceConnection.h"

#include "core/links/ComPorts.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

#include <algorithm>

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
    // A port on a serial server has no device to come back: it is tried
    // again, less often each time.
    if (RemotePortAddress(ComPortTarget(m_vaComm.PortNum()))) {
        m_user.ShowReconnect(QStringLiteral("COM%1 went away; trying again in %2 s").arg(m_vaComm.PortNum()).arg(m_retryMs / 1000));
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
        openNetworkAttempt([this](const std::exception &error) {
            m_clientSocket.Close();
            UpdateConnectionStatus();
            m_user.ShowReconnect(QString::fromLocal8Bit(error.what()));
            retryNetworkLater();
        });
        return;
    }
    const bool server = RemotePortAddress(ComPortTarget(m_vaComm.PortNum()));
    if (!server && !QFileInfo::exists(ComPortFolder() + QStringLiteral("/COM%1").arg(m_vaComm.PortNum())))
        return;
    try {
        m_vaComm.Open();
    } catch (const SerialPortError &) {
        if (server)
            m_retryMs = std::min(m_retryMs * 2, LongestRetryMs);
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
