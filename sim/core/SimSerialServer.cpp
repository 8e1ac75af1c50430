#include "sim/core/SimSerialServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr quint16 DevicePort = 9000;

// A port nobody listens on now: the system's pick for a server that is
// closed again at once.
quint16 freePort()
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return 0;
        const quint16 port = probe.serverPort();
        if (port != DevicePort)
            return port;
    }
    return 0;
}

} // namespace

QString SimSerialServer::Program()
{
    const QString inSbin = QStringLiteral("/usr/sbin/ser2net");
    if (QFileInfo(inSbin).isExecutable())
        return inSbin;
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"));
}

bool SimSerialServer::Start(const QString &device, const QString &lineSettings, quint16 port)
{
    const QString program = Program();
    if (program.isEmpty()) {
        m_error = QStringLiteral("ser2net is not installed");
        return false;
    }
    m_port = port != 0 ? port : freePort();
    if (m_port == 0 || !m_dir.isValid()) {
        m_error = QStringLiteral("no free port or temporary folder for ser2net");
        return false;
    }
    const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write %1").arg(config);
        return false;
    }
    file.write(QStringLiteral("connection: &con0\n"
                              "  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                              "  connector: serialdev,%2,%3,local\n"
                              "  options:\n"
                              "    chardelay: %4\n")
                   .arg(m_port)
                   .arg(device, lineSettings, m_charDelay ? QStringLiteral("true") : QStringLiteral("false"))
                   .toLocal8Bit());
    file.close();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(program, {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), config,
                              QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid"))});
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_error = QStringLiteral("ser2net did not start: %1").arg(m_process.errorString());
        return false;
    }
    // Ready once it listens; a probe connection would take the port.
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!listening()) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()) {
            m_error = QStringLiteral("ser2net did not listen on 127.0.0.1:%1: %2")
                          .arg(m_port)
                          .arg(QString::fromLocal8Bit(m_process.readAll()));
            Kill();
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

bool SimSerialServer::listening() const
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    // 127.0.0.1 in the table's byte order, the port, state 0A (listen).
    const QByteArray wanted = QByteArray("0100007F:") + QByteArray::number(m_port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields.at(1) == wanted && fields.at(3) == "0A")
            return true;
    }
    return false;
}

QString SimSerialServer::Target() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_port);
}

void SimSerialServer::Kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(StartTimeoutMs);
}

void SimSerialServer::Stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(StartTimeoutMs))
        Kill();
}

SimSerialServer::~SimSerialServer()
{
    Stop();
}
