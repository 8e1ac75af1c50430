#pragma once

#include <QByteArray>
#include <QString>

// Which unit a job started with, and whether the unit answering now is that
// one. A unit is its serial number, not the port it is on: a port may be
// handed to another unit between two looks at it.
class DeviceIdentity {
public:
    enum class Verdict {
        Same,       // the unit the job started with
        Another,    // another unit: the job must not go on with it
        CannotTell, // a serial number is missing on either side
    };

    // No unit known: every answer is CannotTell.
    DeviceIdentity() = default;
    // The unit whose serial number the device read; an answer without one
    // ("?????", nothing, or "FFFFF" for a unit whose number was never set)
    // pins no unit.
    explicit DeviceIdentity(const QByteArray &serial);

    bool Known() const { return !m_serial.isEmpty(); }
    // The serial number the job started with; empty when none is known.
    QByteArray Serial() const { return m_serial; }

    // The verdict on a unit that answered with `serial`.
    Verdict Check(const QByteArray &serial) const;

    // The notice for another unit on `port` ("COM1", or a device path).
    static QString AnotherDeviceText(const QString &port, const QByteArray &now, const QByteArray &was);

    // A serial number that tells one unit from another.
    static bool Telling(const QByteArray &serial);

private:
    QByteArray m_serial;
};
