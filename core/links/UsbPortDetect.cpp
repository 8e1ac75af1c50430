#include "core/links/UsbPortDetect.h"

#include "core/links/ComPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <optional>

namespace {

// sysfs attributes are short; anything longer is not what we look for.
constexpr qint64 AttributeLimit = 100;

std::optional<QString> readAttribute(const QString &dir, const QString &name)
{
    QFile file(dir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray text = file.read(AttributeLimit + 2);
    if (text.endsWith('\n'))
        text.chop(1);
    if (text.size() > AttributeLimit)
        return std::nullopt;
    return QString::fromLatin1(text);
}

std::optional<uint> readHexAttribute(const QString &dir, const QString &name)
{
    const std::optional<QString> text = readAttribute(dir, name);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const uint value = text->trimmed().toUInt(&ok, 16);
    return ok ? std::optional<uint>(value) : std::nullopt;
}

// The USB interface directory that `devicePath` belongs to: the tty's device
// is the interface itself (cdc-acm) or a port device below it (usb-serial
// drivers). A USB device directory met first means the tty hangs off the
// device without an interface, which is not what we look for.
QString interfaceDirFor(const QString &devicePath, const QString &sysfsRoot)
{
    QString dir = devicePath;
    while (!dir.isEmpty() && dir != sysfsRoot) {
        if (QFileInfo::exists(dir + QStringLiteral("/bInterfaceNumber")))
            return dir;
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor")))
            return {};
        const QString up = QFileInfo(dir).path();
        if (up == dir)
            break;
        dir = up;
    }
    return {};
}

// The bridge may report its serial number with blanks; the names the other
// platform builds from it hold "_" instead, so both sides are compared that way.
QString serialKey(QString serial)
{
    return serial.replace(QLatin1Char(' '), QLatin1Char('_'));
}

bool matches(const QString &interfaceDir, quint16 vendor, quint16 product, const QString &serial)
{
    if (readHexAttribute(interfaceDir, QStringLiteral("bInterfaceNumber")) != 0u)
        return false;
    const QString deviceDir = QFileInfo(interfaceDir).path();
    if (readHexAttribute(deviceDir, QStringLiteral("idVendor")) != uint(vendor)
        || readHexAttribute(deviceDir, QStringLiteral("idProduct")) != uint(product))
        return false;
    const std::optional<QString> deviceSerial = readAttribute(deviceDir, QStringLiteral("serial"));
    return deviceSerial
           && QString::compare(serialKey(*deviceSerial), serialKey(serial), Qt::CaseInsensitive) == 0;
}

// ttyUSB2 before ttyUSB10, so that the first bridge plugged in comes first.
bool naturalLess(const QString &a, const QString &b)
{
    auto split = [](const QString &name) {
        qsizetype cut = name.size();
        while (cut > 0 && name.at(cut - 1).isDigit())
            --cut;
        return std::pair{name.left(cut), name.mid(cut)};
    };
    const auto [stemA, digitsA] = split(a);
    const auto [stemB, digitsB] = split(b);
    if (stemA != stemB)
        return stemA < stemB;
    if (digitsA.size() != digitsB.size())
        return digitsA.size() < digitsB.size();
    return digitsA < digitsB;
}

// The udev name that survives re-plugging, when one leads to `node`.
QString stableNameFor(const QString &node, const QString &devRoot)
{
    const QString wanted = QFileInfo(node).canonicalFilePath();
    const QDir byId(devRoot + QStringLiteral("/serial/by-id"));
    const QStringList names =
        byId.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString path = byId.filePath(name);
        if (QFileInfo(path).canonicalFilePath() == wanted)
            return path;
    }
    return node;
}

} // namespace

int FindUsbPort(const QString &sysfsRoot, quint16 vendor, quint16 product, const QString &serial,
                const QString &portsFolder, const QString &devRoot)
{
    const QString root = QFileInfo(sysfsRoot).canonicalFilePath();
    if (root.isEmpty())
        return -1;
    const QDir ttyClass(root + QStringLiteral("/class/tty"));
    QStringList ttys =
        ttyClass.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    std::sort(ttys.begin(), ttys.end(), naturalLess);

    QStringList nodes;
    for (const QString &tty : ttys) {
        const QString device =
            QFileInfo(ttyClass.filePath(tty) + QStringLiteral("/device")).canonicalFilePath();
        if (device.isEmpty())
            continue; // virtual terminals and the like have no device
        const QString interfaceDir = interfaceDirFor(device, root);
        if (interfaceDir.isEmpty() || !matches(interfaceDir, vendor, product, serial))
            continue;
        const QString node = devRoot + QLatin1Char('/') + tty;
        if (QFileInfo::exists(node))
            nodes.append(node);
    }
    if (nodes.isEmpty())
        return -1;

    int best = 0;
    for (const QString &node : std::as_const(nodes)) {
        const int number = FindComPortFor(portsFolder, node);
        if (number > 0 && (best == 0 || number < best))
            best = number;
    }
    if (best > 0)
        return best;
    return AssignComPort(portsFolder, stableNameFor(nodes.first(), devRoot));
}

int FindUsbPort(quint16 vendor, quint16 product, const QString &serial)
{
    return FindUsbPort(QStringLiteral("/sys"), vendor, product, serial, ComPortFolder());
}
