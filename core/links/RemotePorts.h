#pragma once

#include <QList>
#include <QString>

// Ports on serial servers as COM numbers: the entries of the ports folder
// whose target is rfc2217://HOST:PORT, which the user adds and removes
// (the command line's "ports add" and "ports remove", the window's Serial
// Servers dialog), since no system listing reports them.

struct RemoteComPort {
    int Number = 0;
    QString Host;
    quint16 Port = 0;
    // rfc2217://HOST:PORT, as the entry holds it.
    QString Target;
};

// The serial server entries of `folder`, by number.
QList<RemoteComPort> ListRemoteComPorts(const QString &folder);

// Makes COM`number` stand for the serial server port `target`
// (rfc2217://HOST:PORT). Returns an empty string on success, else what
// stopped it: a bad number or address, a number that is taken, a folder
// that cannot be written.
QString AddRemoteComPort(const QString &folder, int number, const QString &target);

// Removes COM`number` when it is a serial server entry. Returns an empty
// string on success, else why not (no such entry, an entry for a local
// device, which comes back with the device anyway).
QString RemoveRemoteComPort(const QString &folder, int number);

// What the port list shows as the hint of COM`number`: the serial server it
// stands for, or an empty string for a local port.
QString ComPortHint(int number);
