#pragma once

#include "cli/CliJob.h"
#include "cli/CliOptions.h"

#include <QList>
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

// Runs `runOne(i)` for each device, at most `options.jobs` at once, each on a
// thread of its own; the journal is written as each ends. Devices the
// journal shows done are not run when resuming; none is started after
// `maxFailures` failures or Ctrl+C. Each result carries the time its job took.
QList<CliResult> RunFleet(const QList<FleetDevice> &devices, const CliRequest &request, const FleetOptions &options,
                          const std::function<CliResult(qsizetype index)> &runOne);
