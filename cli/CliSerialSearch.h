#pragma once

#include "cli/CliFleet.h"

#include <QList>
#include <QStringList>

// Identifies whatever answers on every numbered port (the USB cable has its
// number too), all at once; nothing but the identification is written.
// Returns one device per serial number: found when exactly one port
// answered with it, otherwise a failure that names what answered.
QList<FleetDevice> FindDevicesBySerial(const QStringList &serials);
