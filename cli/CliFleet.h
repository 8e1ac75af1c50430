#pragma once

#include "cli/CliJob.h"
#include "cli/CliOptions.h"

#include <QList>
#include <QSet>
#include <QString>

#include <functional>

// The run over many devices: how many at once, when to stop starting new
// ones, and the journal that lets a stopped run be resumed.

// One device a run names: where it is reached, the key it has in the
// journal, and (for a serial number that was not found once) the failure
// that stands for its result.
struct FleetDevice {
    CliTarget target;
    QString key;
    bool found = true;
    QString problem;
    QString reason; // one of CliReason when not found
};

// The journal is checked before any device is touched: it must take
// results, and with --resume be read, a journal that cannot be read being
// no journal of nothing done. `done` gets the keys of the devices it shows
// done (empty without --resume). False with `problem` set.
bool CheckFleetJournal(const FleetOptions &options, const CliRequest &request, QSet<QString> &done, QString &problem);

// Runs `runOne(i)` for each device, at most `options.jobs` at once, each on a
// thread of its own; the journal is written as each ends. Devices whose key
// is in `done` are not run; none is started after `maxFailures` failures or
// Ctrl+C. Each result carries the time its job took.
QList<CliResult> RunFleet(const QList<FleetDevice> &devices, const CliRequest &request, const FleetOptions &options,
                          const QSet<QString> &done, const std::function<CliResult(qsizetype index)> &runOne);
