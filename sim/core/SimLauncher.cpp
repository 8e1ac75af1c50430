#include "sim/core/SimLauncher.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

#include <csignal>
#include <sys/types.h>

SimLauncher::SimLauncher(const QString &program, const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000))
        return;
    QDeadlineTimer deadline(10000);
    while (!m_process.canReadLine() && !deadline.hasExpired()
           && m_process.state() == QProcess::Running)
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    m_banner = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    const auto com = QRegularExpression(QStringLiteral("COM(\\d+)")).match(m_banner);
    if (com.hasMatch())
        m_comPort = com.captured(1).toInt();
    const auto tcp = QRegularExpression(QStringLiteral("TCP 127\\.0\\.0\\.1:(\\d+)")).match(m_banner);
    if (tcp.hasMatch())
        m_tcpPort = tcp.captured(1).toInt();
}

SimLauncher::~SimLauncher()
{
    Stop();
}

void SimLauncher::Stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // The simulator removes its port link when asked to stop politely.
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

bool SimLauncher::PowerCycle()
{
    if (m_process.state() != QProcess::Running)
        return false;
    return ::kill(pid_t(m_process.processId()), SIGUSR1) == 0;
}

bool SimLauncher::ToggleCable()
{
    if (m_process.state() != QProcess::Running)
        return false;
    return ::kill(pid_t(m_process.processId()), SIGUSR2) == 0;
}
