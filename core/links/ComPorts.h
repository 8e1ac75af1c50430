#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The tool numbers serial ports COM1, COM2, ... as its users know them from
// other systems. On Linux the numbers live in a ports folder of symbolic links
// named COMn that point at serial devices, so that a device keeps its number
// from run to run.

// The ports folder: $XDG_CONFIG_HOME/mirto/ports (~/.config/mirto/ports).
QString ComPortFolder();

// The device that COMn stands for, or an empty string when there is no entry
// or its owner (below) has gone. For a port on a serial server, its
// rfc2217://HOST:PORT address.
QString ComPortTarget(int portNumber);

// An entry may stand for a serial port on a serial server (RFC 2217): its
// link's target is then the text rfc2217://HOST:PORT (a bracketed IPv6
// address for HOST). Such an entry is listed like any other and never
// pruned as gone. True when `target` is such an address; gives its parts.
bool RemotePortAddress(const QString &target, QString *host = nullptr, quint16 *port = nullptr);
QString RemotePortTarget(const QString &host, quint16 port);
// The text a link holds, as written (not made into a path).
QString ComPortLinkText(const QString &linkPath);

// A program that links a device of its own as COMn (the device simulator's
// pseudo-terminal) marks the link as its own with a pid file COMn.pid beside
// it. Once that process has gone the link is stale, even when its target
// exists again: the system hands the same pseudo-terminal to the next
// program that asks, a terminal window.
QString ComPortMarkPath(const QString &folder, int portNumber);
// Marks COMn as this process's own. False when the mark cannot be written.
bool MarkComPortOwner(const QString &folder, int portNumber);
// False when `markPath` names a process that no longer runs, or one that
// started after the mark was written and so merely took a gone owner's id;
// true while the owner runs and for a mark that cannot be read.
bool ComPortOwnerAlive(const QString &markPath);
// Undoes what an owner made: removes COMn when it still points at
// `devicePath`, and the mark when it names this process.
void ReleaseComPort(const QString &folder, int portNumber, const QString &devicePath);
// Removes the entries that no longer stand for a device: links to a
// pseudo-terminal that has gone, links whose owner has gone (with their
// marks), and marks of gone owners that lost their link. A link to any other
// path that is gone for now (an unplugged device's stable path) keeps its
// number, and is listed again when the path returns. Returns the numbers of
// the links removed.
QList<int> PruneComPorts(const QString &folder);

// Number of the entry that points at `devicePath` (compared after resolving
// links), or 0 when none does.
int FindComPortFor(const QString &folder, const QString &devicePath);

// Gives `devicePath` a number: the existing one when an entry points at it,
// else `wanted` when that entry is free (wanted > 0), else the lowest free
// number. Prunes stale entries first, so their numbers are free again.
// Creates the folder and the link as needed. Returns -1 when the link cannot
// be made.
int AssignComPort(const QString &folder, const QString &devicePath, int wanted = 0);

// The COMn entries of `folder` whose target exists and whose owner, if any,
// still runs, sorted as text ignoring case (COM1, COM10, COM2).
QStringList ListComPorts(const QString &folder);

// Prunes stale entries, gives every device in `systemDevices` a number (for a
// USB device its stable /dev/serial/by-id path is linked when there is one)
// and returns the sorted list. Throws SerialPortError naming the folder and the system's reason when the
// folder cannot be created or read.
QStringList EnumComPortsIn(const QString &folder, const QStringList &systemDevices,
                           const QString &byIdFolder = QStringLiteral("/dev/serial/by-id"));

// The list of serial ports present on this machine, numbered as above.
void EnumComPorts(QStringList &list);

// Whether EnumComPorts could give a number to a port that has none in
// `folder` yet, whose entries ListComPorts gave as `entries`: true when a tty
// that may be a serial port (one backed by a device under
// `<sysfsRoot>/class/tty`, or a Bluetooth, null-modem or gadget port) has its
// node under `devRoot` and no entry. Opens nothing, and costs a small part of
// the system's own listing, which asks every tty.
bool UnnumberedPortsMayExist(const QString &folder, const QStringList &entries,
                             const QString &sysfsRoot = QStringLiteral("/sys"),
                             const QString &devRoot = QStringLiteral("/dev"));

// The port number of a port name: a list entry, the settings file's "[Port]"
// value or a name typed on the command line. "COM" in any case, then one to
// three decimal digits, blanks around them ignored (COM3 gives 3, com12 gives
// 12, COM123 gives 123); -1 when it is no such name. The one place where a
// port name is turned into its number.
int PortNumberOfEntry(QStringView entry);
