#include "core/links/RemotePorts.h"

#include "core/links/ComPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

QString entryPath(const QString &folder, int number)
{
    return QDir(folder).filePath(QStringLiteral("COM%1").arg(number));
}

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QList<RemoteComPort> ListRemoteComPorts(const QString &folder)
{
    QList<RemoteComPort> ports;
    const QDir dir(folder);
    const QStringList names = dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const int number = PortNumberOfEntry(name);
        if (number <= 0 || name != QStringLiteral("COM%1").arg(number))
            continue;
        RemoteComPort port;
        port.Number = number;
        port.Target = ComPortLinkText(dir.filePath(name));
        if (RemotePortAddress(port.Target, &port.Host, &port.Port))
            ports << port;
    }
    std::sort(ports.begin(), ports.end(),
              [](const RemoteComPort &a, const RemoteComPort &b) { return a.Number < b.Number; });
    return ports;
}

QString AddRemoteComPort(const QString &folder, int number, const QString &target)
{
    if (number < 1 || number > 999)
        return QStringLiteral("COM%1 is no port number: give COM1 to COM999").arg(number);
    QString host;
    quint16 port = 0;
    if (!RemotePortAddress(target, &host, &port))
        return QStringLiteral("'%1' is no serial server address: give rfc2217://HOST:PORT").arg(target);
    const QString path = entryPath(folder, number);
    const QFileInfo entry(path);
    if (entry.isSymLink() || entry.exists()) {
        const QString now = ComPortLinkText(path);
        return QStringLiteral("COM%1 is taken%2: remove it first or choose another number")
            .arg(number)
            .arg(now.isEmpty() ? QString() : QStringLiteral(" (it stands for %1)").arg(now));
    }
    errno = 0;
    if (!QDir().mkpath(folder))
        return QStringLiteral("The ports folder %1 cannot be made: %2").arg(folder, systemReason());
#ifdef Q_OS_UNIX
    // The target is an address, not a path: written as it is.
    const QString written = RemotePortTarget(host, port);
    if (::symlink(QFile::encodeName(written).constData(), QFile::encodeName(path).constData()) != 0)
        return QStringLiteral("COM%1 cannot be made in %2: %3").arg(number).arg(folder, systemReason());
    return {};
#else
    return QStringLiteral("Serial server ports are not supported on this system");
#endif
}

QString RemoveRemoteComPort(const QString &folder, int number)
{
    const QString path = entryPath(folder, number);
    if (!QFileInfo(path).isSymLink())
        return QStringLiteral("There is no COM%1 in %2").arg(number).arg(folder);
    const QString target = ComPortLinkText(path);
    if (!RemotePortAddress(target))
        return QStringLiteral("COM%1 stands for the local device %2, not for a serial server port: it is "
                              "not removed")
            .arg(number)
            .arg(target);
    errno = 0;
    if (!QFile::remove(path))
        return QStringLiteral("COM%1 cannot be removed from %2: %3").arg(number).arg(folder, systemReason());
    return {};
}

QString ComPortHint(int number)
{
    QString host;
    quint16 port = 0;
    if (!RemotePortAddress(ComPortTarget(number), &host, &port))
        return {};
    return QStringLiteral("COM%1 on the serial server %2").arg(number).arg(RemotePortTarget(host, port).mid(10));
}
