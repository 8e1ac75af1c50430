#pragma once

#include <QString>
#include <QStringList>

// The tool numbers serial ports COM1, COM2, ... as its users know them from
// other systems. On Linux the numbers live in a ports folder of symbolic links
// named COMn that point at serial devices, so that a device keeps its number
// from run to run.

// The ports folder: $XDG_CONFIG_HOME/mirto/ports (~/.config/mirto/ports).
QString ComPortFolder();

// The device that COMn stands for, or an empty string when there is no entry.
QString ComPortTarget(int portNumber);

// Number of the entry that points at `devicePath` (compared after resolving
// links), or 0 when none does.
int FindComPortFor(const QString &folder, const QString &devicePath);

// Gives `devicePath` a number: the existing one when an entry points at it,
// else `wanted` when that entry is free (wanted > 0), else the lowest free
// number. Creates the folder and the link as needed. Returns -1 when the link
// cannot be made.
int AssignComPort(const QString &folder, const QString &devicePath, int wanted = 0);

// The COMn entries of `folder` whose target exists, sorted as text ignoring
// case (COM1, COM10, COM2).
QStringList ListComPorts(const QString &folder);

// Gives every device in `systemDevices` a number (for a USB device its stable
// /dev/serial/by-id path is linked when there is one) and returns the sorted
// list. Throws SerialPortError "Registry error (win error code: n)" when the
// folder cannot be created or read.
QStringList EnumComPortsIn(const QString &folder, const QStringList &systemDevices,
                           const QString &byIdFolder = QStringLiteral("/dev/serial/by-id"));

// The list of serial ports present on this machine, numbered as above.
void EnumComPorts(QStringList &list);

// The port number of a list entry: its 4th and 5th characters read as a
// decimal number (COM3 gives 3, COM12 gives 12); -1 when they are no number.
int PortNumberOfEntry(const QString &entry);
