#pragma once

#include "cli/CliJob.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// --junit: the run's JUnit XML report, for the CI engines that drive a bench.

// Whether a report can be made at `path`: its folder is there and takes
// files, and the path is no folder. False with `problem` set (the path and
// the system's reason), checked before any device is touched.
bool CheckJunitPath(const QString &path, QString &problem);

// Replaces `path` with the report of `results` (one case a device, named by
// `labels` unless a serial number is known) for `command`, a run that
// started at `started` and took `elapsedMs`. False with `problem` set.
bool WriteJunitReport(const QString &path, CliRequest::Command command, const QStringList &labels,
                      const QList<CliResult> &results, const QDateTime &started, qint64 elapsedMs, QString &problem);
