#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the device simulator as a process of its own for as long as the object
// lives, and reads the port numbers it announces on its first line.
class SimLauncher {
public:
    SimLauncher(const QString &program, const QStringList &arguments);
    ~SimLauncher();
    SimLauncher(const SimLauncher &) = delete;
    SimLauncher &operator=(const SimLauncher &) = delete;

    QString Banner() const { return m_banner; }
    int ComPort() const { return m_comPort; }  // -1 when none was announced
    int TcpPort() const { return m_tcpPort; }  // -1 when it serves no TCP
    void Stop();
    // Power-cycles the simulated device: its boot loader starts. False when
    // the simulator does not run.
    bool PowerCycle();
    // Pulls the cable when it is in, plugs it back when it is out (see
    // mirto-sim --stable-link, --replug-serial). False when the simulator
    // does not run.
    bool ToggleCable();

private:
    QProcess m_process;
    QString m_banner;
    int m_comPort = -1;
    int m_tcpPort = -1;
};
