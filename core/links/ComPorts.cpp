#include "core/links/ComPorts.h"

#include "core/links/SerialPortError.h"

#include <QCollator>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSerialPortInfo>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

QString resolved(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

// The folder's own entries are written as "COMn" exactly; anything else in
// it is not ours.
int entryNumber(const QString &name)
{
    const int n = PortNumberOfEntry(name);
    return n > 0 && QStringLiteral("COM%1").arg(n) == name ? n : 0;
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

// When process `pid` started, in ms since the epoch; -1 where the system
// does not say. Tells the process from a later one that got the same id.
qint64 processStartMs(qint64 pid)
{
#ifdef Q_OS_LINUX
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    QFile system(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly) || !system.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.read(4096);
    // The command name in parentheses may hold blanks and parentheses; the
    // fields counted from the last ')' start with the third, the state.
    const qsizetype close = text.lastIndexOf(')');
    const QList<QByteArray> fields = text.mid(close + 1).simplified().split(' ');
    constexpr int StartTimeField = 22 - 3;
    bool ok = false;
    const qint64 ticks = close < 0 ? -1 : fields.value(StartTimeField).toLongLong(&ok);
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (!ok || ticks < 0 || ticksPerSecond <= 0)
        return -1;
    qint64 bootSeconds = -1;
    const QList<QByteArray> lines = system.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("btime "))
            bootSeconds = line.mid(6).trimmed().toLongLong(&ok);
    }
    if (!ok || bootSeconds < 0)
        return -1;
    return bootSeconds * 1000 + ticks * 1000 / ticksPerSecond;
#else
    Q_UNUSED(pid);
    return -1;
#endif
}

bool processRuns(qint64 pid)
{
#ifdef Q_OS_UNIX
    if (pid <= 0 || pid != qint64(pid_t(pid)))
        return false;
    // EPERM: it runs, under another user.
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
#else
    Q_UNUSED(pid);
    return true;
#endif
}

bool isLink(const QString &path)
{
    return QFileInfo(path).isSymLink();
}

// A port on a serial server is there whenever its entry is: whether the
// server answers is for opening to find out.
bool targetExists(const QString &linkPath)
{
    const QFileInfo link(linkPath);
    return link.isSymLink()
           && (QFileInfo::exists(link.symLinkTarget()) || RemotePortAddress(ComPortLinkText(linkPath)));
}

bool ownerGone(const QString &folder, int n)
{
    const QString mark = ComPortMarkPath(folder, n);
    return QFileInfo::exists(mark) && !ComPortOwnerAlive(mark);
}

// An entry stands for its device until the user removes it, also while the
// device is unplugged and its stable path leads nowhere. A pseudo-terminal
// that has gone is another matter: its program has ended, and the system
// hands the same name to the next program that asks.
bool entryStale(const QString &folder, int n, const QString &linkPath)
{
    if (ownerGone(folder, n))
        return true;
    const QString target = QFileInfo(linkPath).symLinkTarget();
    return !targetExists(linkPath) && target.startsWith(QLatin1String("/dev/pts/"));
}

[[noreturn]] void throwPortsFolderError(const QString &folder, int code)
{
    throw SerialPortError(QStringLiteral("The ports folder %1 cannot be used: %2")
                              .arg(folder, QString::fromLocal8Bit(std::strerror(code))));
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
    const QString folder = ComPortFolder();
    if (ownerGone(folder, portNumber))
        return {};
    const QString link = folder + QStringLiteral("/COM%1").arg(portNumber);
    // A server's address is no path: it is given as written.
    const QString text = ComPortLinkText(link);
    if (RemotePortAddress(text))
        return text;
    return QFileInfo(link).symLinkTarget();
}

QString ComPortLinkText(const QString &linkPath)
{
#ifdef Q_OS_UNIX
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(linkPath).constData(), buffer, sizeof buffer);
    if (n <= 0 || size_t(n) >= sizeof buffer)
        return {};
    return QFile::decodeName(QByteArray(buffer, qsizetype(n)));
#else
    return QFileInfo(linkPath).symLinkTarget();
#endif
}

bool RemotePortAddress(const QString &target, QString *host, quint16 *port)
{
    static const QLatin1String scheme("rfc2217://");
    if (!target.startsWith(scheme, Qt::CaseInsensitive))
        return false;
    const QString rest = target.mid(scheme.size());
    QString name;
    QString number;
    if (rest.startsWith(QLatin1Char('['))) {
        // An IPv6 address in brackets, as in a URL.
        const qsizetype close = rest.indexOf(QLatin1String("]:"));
        if (close < 2)
            return false;
        name = rest.mid(1, close - 1);
        number = rest.mid(close + 2);
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 1 || rest.left(colon).contains(QLatin1Char(':')))
            return false;
        name = rest.left(colon);
        number = rest.mid(colon + 1);
    }
    for (const QChar c : name)
        if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char('@'))
            return false;
    bool ok = false;
    const uint value = number.toUInt(&ok);
    if (!ok || value < 1 || value > 65535 || number.startsWith(QLatin1Char('+')))
        return false;
    if (host)
        *host = name;
    if (port)
        *port = quint16(value);
    return true;
}

QString RemotePortTarget(const QString &host, quint16 port)
{
    return host.contains(QLatin1Char(':')) ? QStringLiteral("rfc2217://[%1]:%2").arg(host).arg(port)
                                           : QStringLiteral("rfc2217://%1:%2").arg(host).arg(port);
}

QString ComPortMarkPath(const QString &folder, int portNumber)
{
    return folder + QStringLiteral("/COM%1.pid").arg(portNumber);
}

bool MarkComPortOwner(const QString &folder, int portNumber)
{
    // A plain pid file: `kill -USR1 $(cat COMn.pid)` reaches the owner.
    QSaveFile mark(ComPortMarkPath(folder, portNumber));
    if (!mark.open(QIODevice::WriteOnly))
        return false;
    mark.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    return mark.commit();
}

bool ComPortOwnerAlive(const QString &markPath)
{
    QFile mark(markPath);
    if (!mark.open(QIODevice::ReadOnly))
        return true;
    bool ok = false;
    const qint64 pid = mark.read(64).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0)
        return true;
    if (!processRuns(pid))
        return false;
    // The owner wrote its mark after it started; a process that started
    // later merely got the id of one that has gone. The boot time is known
    // to the second only, hence the margin.
    constexpr qint64 MarginMs = 2000;
    const qint64 started = processStartMs(pid);
    const qint64 written = QFileInfo(markPath).lastModified().toMSecsSinceEpoch();
    return started < 0 || started <= written + MarginMs;
}

void ReleaseComPort(const QString &folder, int portNumber, const QString &devicePath)
{
    if (portNumber <= 0)
        return;
    const QString linkPath = folder + QStringLiteral("/COM%1").arg(portNumber);
    const QFileInfo link(linkPath);
    // The device must still exist here, or resolving it gives nothing.
    if (link.isSymLink() && resolved(link.symLinkTarget()) == resolved(devicePath))
        QFile::remove(linkPath);
    const QString markPath = ComPortMarkPath(folder, portNumber);
    QFile mark(markPath);
    if (mark.open(QIODevice::ReadOnly)) {
        const QByteArray pid = mark.read(64).trimmed();
        mark.close();
        if (pid == QByteArray::number(QCoreApplication::applicationPid()))
            QFile::remove(markPath);
    }
}

QList<int> PruneComPorts(const QString &folder)
{
    QList<int> removed;
    const QDir dir(folder);
    const QStringList names = dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        if (name.endsWith(QLatin1String(".pid"))) {
            const int n = entryNumber(name.chopped(4));
            if (n > 0 && !isLink(dir.filePath(name.chopped(4))) && !ComPortOwnerAlive(path))
                QFile::remove(path);
            continue;
        }
        const int n = entryNumber(name);
        if (n == 0 || !isLink(path))
            continue;
        if (entryStale(folder, n, path) && QFile::remove(path)) {
            removed.append(n);
            // The mark goes with its link, unless it names a live owner that
            // merely lost its device.
            if (!ComPortOwnerAlive(ComPortMarkPath(folder, n)))
                QFile::remove(ComPortMarkPath(folder, n));
        }
    }
    return removed;
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
        const QString text = ComPortLinkText(dir.filePath(name));
        const QString target = RemotePortAddress(text) ? text : QFileInfo(dir.filePath(name)).symLinkTarget();
        if (!target.isEmpty() && resolved(target) == wanted)
            return n;
    }
    return 0;
}

int AssignComPort(const QString &folder, const QString &devicePath, int wanted)
{
    if (!QDir().mkpath(folder))
        return -1;
    PruneComPorts(folder);
    if (const int existing = FindComPortFor(folder, devicePath); existing > 0)
        return existing;
    const QDir dir(folder);
    auto isFree = [&dir, &folder](int n) {
        const QString path = dir.filePath(QStringLiteral("COM%1").arg(n));
        // A mark left without its link still belongs to a running owner.
        return !QFileInfo(path).isSymLink() && !QFileInfo::exists(path)
               && !QFileInfo::exists(ComPortMarkPath(folder, n));
    };
    int n = wanted > 0 && isFree(wanted) ? wanted : 1;
    for (;;) {
        while (!isFree(n))
            ++n;
        if (QFile::link(devicePath, dir.filePath(QStringLiteral("COM%1").arg(n))))
            return n;
        // Another program took the number meanwhile: try the next one.
        if (!QFileInfo(dir.filePath(QStringLiteral("COM%1").arg(n))).isSymLink())
            return -1;
    }
}

QStringList ListComPorts(const QString &folder)
{
    const QDir dir(folder);
    QStringList ports;
    const QStringList names = dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (entryNumber(name) == 0)
            continue;
        if (targetExists(dir.filePath(name)) && !ownerGone(folder, entryNumber(name)))
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
        throwPortsFolderError(folder, errno != 0 ? errno : EACCES);
    if (!QFileInfo(folder).isReadable())
        throwPortsFolderError(folder, EACCES);
    PruneComPorts(folder);
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

bool UnnumberedPortsMayExist(const QString &folder, const QStringList &entries, const QString &sysfsRoot,
                             const QString &devRoot)
{
    QSet<QString> numbered;
    for (const QString &name : entries)
        numbered.insert(QFileInfo(QDir(folder).filePath(name)).canonicalFilePath());
    const QDir ttyClass(sysfsRoot + QStringLiteral("/class/tty"));
    const QStringList ttys = ttyClass.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &tty : ttys) {
        // The ttys without a device the system's listing still takes.
        const bool deviceless = tty.startsWith(QLatin1String("rfcomm")) || tty.startsWith(QLatin1String("tnt"))
                                || tty.startsWith(QLatin1String("ttyGS"));
        if (!deviceless && !QFileInfo::exists(ttyClass.filePath(tty) + QStringLiteral("/device")))
            continue; // virtual terminals, pseudo-terminals, the console
        const QFileInfo node(devRoot + QLatin1Char('/') + tty);
        if (node.exists() && !numbered.contains(node.canonicalFilePath()))
            return true;
    }
    return false;
}

int PortNumberOfEntry(QStringView entry)
{
    if (!entry.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return -1;
    const QStringView digits = entry.mid(3).trimmed();
    if (digits.isEmpty() || digits.size() > 3)
        return -1;
    int n = 0;
    for (QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        n = n * 10 + (c.unicode() - '0');
    }
    return n;
}
