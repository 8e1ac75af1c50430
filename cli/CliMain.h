#pragma once

#include <QStringList>

// The command-line companion: parses the arguments, runs the job on every
// device named (each on its own link, all at once) and returns the exit
// status. Needs a QCoreApplication.
int RunCli(const QStringList &arguments);

// Exit statuses, as --help and the manual page list them.
enum CliExit {
    CliSuccess = 0,      // every device did what was asked
    CliDeviceFailed = 1, // at least one device failed (no answer, refused, link lost)
    CliBadUsage = 2,     // the command line is wrong
    CliBadFile = 3,      // the configuration or HEX file cannot be used; nothing was sent
    CliToolError = 4,    // the tool failed on its own, no device's result known (a ports folder it cannot make)
};
