#pragma once

#include "cli/CliJob.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

struct HexImage;

// The command line: the command, the devices it names (--port, --host,
// --usb, the list files), the options that pace a production run, and the
// request every device gets. Nothing here touches a device or reads a
// configuration or HEX file.

struct FleetOptions {
    QStringList serials;  // --serial
    int jobs = 0;         // devices at once; 0: all
    int maxFailures = 0;  // no new device after this many failed; 0: no limit
    QString journal;      // --journal
    bool resume = false;
};

struct CliCommandLine {
    QString command;     // "ports", "identify", "send", "program", "update"
    QStringList words;   // what follows the command
    bool json = false;
    bool plan = false;   // --plan: print what the run would do, touch no port
    QString commandFile; // send --file
    CliRequest request;
    QList<CliTarget> targets; // named by port, address or list (not --serial)
    FleetOptions fleet;
    std::shared_ptr<const HexImage> image; // update: the image as read and checked
    QString junit;       // --junit: the JUnit XML report written as the run ends
};

// Reads `arguments` into `line`. Returns the exit status when the run ends
// here (--help, --version, a wrong command line: said on the way), nothing
// when the command is to be run. For "ports" only `command`, `words` and
// `json` are read.
std::optional<int> ReadCommandLine(const QStringList &arguments, CliCommandLine &line);

// Says a wrong command line on standard error; returns CliBadUsage.
int CliUsage(const QString &problem);

// Appends the entries of a list file (one a line, blanks around them
// dropped, empty lines and `#` comments skipped) to `entries`. False with
// `problem` set when the file cannot be read.
bool ReadListFile(const QString &path, QStringList &entries, QString &problem);
