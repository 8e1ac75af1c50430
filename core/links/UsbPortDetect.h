#pragma once

#include <QString>
#include <QtGlobal>

// Finds the serial port that the device's USB bridge presents, so that a user
// of the USB interface never has to pick a port.
//
// What is looked for: interface 0 of the USB device with the given vendor and
// product identifiers and serial number, and the tty that the kernel made for
// that interface. The answer is the port's COM number from the ports folder
// (see links/ComPorts.h); a port seen for the first time is given one there.

// Walks the tty devices under `<sysfsRoot>/class/tty`. For each one whose
// `device` link leads into a USB interface directory (the nearest directory
// above it holding `bInterfaceNumber`, whose parent holds `idVendor`,
// `idProduct` and `serial`), the identifiers are compared as hexadecimal
// numbers, the interface number must be 0, and the serial numbers are
// compared without regard to case after every space in either has become
// "_". The tty's node is `<devRoot>/<name>`; it must exist.
//
// Returns the COM number of the matching node in `portsFolder`, giving it the
// lowest free number when it has none (linked to its stable
// `<devRoot>/serial/by-id/...` name when one leads to the node). When several
// ttys match, one that already has a number wins (the lowest number), else
// the first in natural name order (ttyUSB2 before ttyUSB10). Returns -1 when
// nothing matches or the number cannot be written into `portsFolder`.
int FindUsbPort(const QString &sysfsRoot, quint16 vendor, quint16 product,
                const QString &serial, const QString &portsFolder,
                const QString &devRoot = QStringLiteral("/dev"));

// The same on this machine: /sys, /dev and the user's ports folder.
int FindUsbPort(quint16 vendor, quint16 product, const QString &serial);

// The bridge chip of the device's USB cable: its identifiers and the serial
// number every cable's bridge is given.
constexpr quint16 MirtoUsbVendor = 0x10C4;
constexpr quint16 MirtoUsbProduct = 0xEA60;
inline QString MirtoUsbSerial() { return QStringLiteral("0001"); }

// The device's USB cable on this machine (or under the given roots); -1 when
// it is not there.
inline int FindMirtoUsbPort(const QString &sysfsRoot, const QString &portsFolder,
                            const QString &devRoot)
{
    return FindUsbPort(sysfsRoot, MirtoUsbVendor, MirtoUsbProduct, MirtoUsbSerial(),
                       portsFolder, devRoot);
}
inline int FindMirtoUsbPort()
{
    return FindUsbPort(MirtoUsbVendor, MirtoUsbProduct, MirtoUsbSerial());
}
