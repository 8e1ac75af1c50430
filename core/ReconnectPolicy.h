#pragma once

#include "core/DeviceIdentity.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

class DeviceConnection;
class QFileSystemWatcher;

// Tools - Reconnect Automatically. Once a link went away without the user
// closing it, a serial or USB device is opened and identified again when it
// comes back; a network link is tried again after 1, 2, 4 ... at most 30 s
// until it connects or the user closes or opens it. Each step is told as it
// happens (DeviceUser::ShowReconnect).
//
// A serial device comes back where the system puts it, not always where the
// tool numbers it: a USB device's COMn entry stays and the stable path it
// points at returns, with its device node in the device folder; a port of a
// program of its own comes back as a new COMn entry. The ports folder, the
// folder of the path the entry points at and the device folder are watched
// (not polled), and looked at once as soon as the watch stands, for a device
// that was back before its old port had hung up.
//
// A unit is its serial number: when another unit answers on the port, the
// user is told which, and the link is never reopened under a job that holds
// it (the job has ended with the link it started on).
class ReconnectPolicy : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstRetryMs = 1000;
    static constexpr int LongestRetryMs = 30000;
    // A change in a watched folder is looked at this much later: a device
    // node may follow its link a moment later.
    static constexpr int SettleMs = 200;

    // `deviceFolder`: where the system makes device nodes.
    explicit ReconnectPolicy(DeviceConnection &connection,
                             const QString &deviceFolder = QStringLiteral("/dev"));
    ~ReconnectPolicy() override;

    void SetEnabled(bool on);
    bool Enabled() const { return m_enabled; }
    // Waiting for the device or for the next network attempt.
    bool Armed() const { return m_armed; }

    // The link went away without the user closing it; `unit` is who was on
    // it. Starts waiting when enabled.
    void LinkLost(const DeviceIdentity &unit);
    // The user opened or closed the link or turned the reconnect off: no
    // more waiting, and a wait that ends so says it.
    void Stop();
    // A job that held the link has ended: a device that came back meanwhile
    // is opened now.
    void JobEnded();
    // The outcome of a network attempt; false when it was not the
    // reconnect's own.
    bool NetworkConnected();
    bool NetworkFailed();

private:
    QString port() const;
    // The port is on a serial server (RFC 2217), not a device of this system.
    bool serverPort() const;
    void watchForDevice();
    void look();
    void lookSerial();
    void tryNetwork();
    void retryNetworkLater();
    void disarm();

    DeviceConnection &m_conn;
    QString m_deviceFolder;
    bool m_enabled = false;
    bool m_armed = false;
    int m_retryMs = FirstRetryMs;
    // The port is back but could not be opened, and the user was told.
    bool m_toldNotOpen = false;
    // The look right after the link went: its port may not have gone yet.
    bool m_quietLook = false;
    DeviceIdentity m_unit;
    QTimer m_timer;
    QFileSystemWatcher *m_watcher = nullptr;
};
