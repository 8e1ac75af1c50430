#include "core/DeviceIdentity.h"

#include "core/Identification.h"

DeviceIdentity::DeviceIdentity(const QByteArray &serial)
    : m_serial(Telling(serial) ? serial : QByteArray())
{
}

bool DeviceIdentity::Telling(const QByteArray &serial)
{
    // Every unit whose number was never set answers "FFFFF": two of them
    // cannot be told apart.
    return !NoRealSerialNumber(serial) && serial != "FFFFF";
}

DeviceIdentity::Verdict DeviceIdentity::Check(const QByteArray &serial) const
{
    if (!Known() || !Telling(serial))
        return Verdict::CannotTell;
    return serial == m_serial ? Verdict::Same : Verdict::Another;
}

QString DeviceIdentity::AnotherDeviceText(const QString &port, const QByteArray &now, const QByteArray &was)
{
    return QStringLiteral("Another device is on %1 now: serial number %2, was %3")
        .arg(port, QString::fromLatin1(now), QString::fromLatin1(was));
}
