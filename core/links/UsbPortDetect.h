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
