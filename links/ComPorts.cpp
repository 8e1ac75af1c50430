#include "links/ComPorts.h"

#include "links/SerialPortError.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>

namespace {

QString resolved(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

int entryNumber(const QString &name)
{
    if (!name.startsWith(QLatin1String("COM")))
        return 0;
    bool ok = false;
    const int n = name.mid(3).toInt(&ok);
    return ok && n > 0 && QStringLiteral("COM%1").arg(n) == name ? n : 0;
}

QString stableName(const QString &devicePath, const QString &byIdFolder)
{
    const QString wanted = resolved(devicePath);
    const QDir byId(byIdFolder);
    const QStringList names = byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = byId.filePath(name);
        if (resolved(path) == wanted)
            return path;
    }
    return devicePath;
}

[[noreturn]] void throwRegistryError(int code)
{
    throw SerialPortError(QStringLiteral("Registry error (win error code: %1)").arg(code));
}

} // namespace

QString ComPortFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/mirto/ports");
}

QString ComPortTarget(int portNumber)
{
    if (portNumber <= 0)
        return {};
    return QFileInfo(ComPortFolder() + QStringLiteral("/COM%1").arg(portNumber)).symLinkTarget();
}

int FindComPortFor(const QString &folder, const QString &devicePath)
{
    const QString wanted = resolved(devicePath);
    const QDir dir(folder);
    const QStringList names = dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const int n = entryNumber(name);
        if (n == 0)
            continue;
        const QString target = QFileInfo(dir.filePath(name)).symLinkTarget();
        if (!target.isEmpty() && resolved(target) == wanted)
            return n;
    }
    return 0;
}

int AssignComPort(const QString &folder, const QString &devicePath, int wanted)
{
    if (!QDir().mkpath(folder))
        return -1;
    if (const int existing = FindComPortFor(folder, devicePath); existing > 0)
        return existing;
    const QDir dir(folder);
    auto isFree = [&dir](int n) {
        // A dangling link still holds its number: the device may come back.
        return !QFileInfo(dir.filePath(QStringLiteral("COM%1").arg(n))).isSymLink()
               && !QFileInfo::exists(dir.filePath(QStringLiteral("COM%1").arg(n)));
    };
    int n = wanted > 0 && isFree(wanted) ? wanted : 1;
    while (!isFree(n))
        ++n;
    if (!QFile::link(devicePath, dir.filePath(QStringLiteral("COM%1").arg(n))))
        return -1;
    return n;
}

QStringList ListComPorts(const QString &folder)
{
    const QDir dir(folder);
    QStringList ports;
    const QStringList names = dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (entryNumber(name) == 0)
            continue;
        const QFileInfo link(dir.filePath(name));
        if (link.isSymLink() && QFileInfo::exists(link.symLinkTarget()))
            ports.append(name);
    }
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(false);
    std::sort(ports.begin(), ports.end(), [&collator](const QString &a, const QString &b) {
        return collator.compare(a, b) < 0;
    });
    return ports;
}

QStringList EnumComPortsIn(const QString &folder, const QStringList &systemDevices,
                           const QString &byIdFolder)
{
    errno = 0;
    if (!QDir().mkpath(folder))
        throwRegistryError(errno != 0 ? errno : EACCES);
    if (!QFileInfo(folder).isReadable())
        throwRegistryError(EACCES);
    for (const QString &device : systemDevices) {
        if (FindComPortFor(folder, device) > 0)
            continue;
        AssignComPort(folder, stableName(device, byIdFolder));
    }
    return ListComPorts(folder);
}

void EnumComPorts(QStringList &list)
{
    QStringList devices;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        devices.append(info.systemLocation());
    list = EnumComPortsIn(ComPortFolder(), devices);
}

int PortNumberOfEntry(const QString &entry)
{
    const QString digits = entry.mid(3, 2);
    bool ok = false;
    const int n = digits.toInt(&ok);
    return ok ? n : -1;
}
