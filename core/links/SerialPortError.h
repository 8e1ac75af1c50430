#pragma once

#include <QString>
#include <stdexcept>

// The serial port's one error type: it carries the text the user is shown.
class SerialPortError : public std::runtime_error {
public:
    // Why a port did not open, where the advice to the user depends on it.
    // Server: a port on a serial server, whose message says it all.
    enum class Cause { Other, NotFound, InUse, Server };

    explicit SerialPortError(const QString &message, Cause cause = Cause::Other)
        : std::runtime_error(message.toLocal8Bit().toStdString()), m_message(message), m_cause(cause) {}
    QString message() const { return m_message; }
    Cause cause() const { return m_cause; }

private:
    QString m_message;
    Cause m_cause;
};

// The paragraph added to an open error when the system refuses `device`
// (owned by group `group`, empty when the group has no name, with
// permission bits `mode`): what the user can do about it. Joining the
// device's group is advised only where that group grants read and write and
// is not root's, and never for a device open to everyone anyway. The USB
// cable gets the udev rule the package installs.
QString SerialAccessAdvice(const QString &device, const QString &group, uint mode);
