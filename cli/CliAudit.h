#pragma once

#include "cli/CliJob.h"

#include <QString>

// Appends the audit trail's entry for a program or update job; a failed
// write is told on standard error and in `result` and stops nothing.
struct AuditFacts {
    QString serialBefore, versionBefore, serialAfter, versionAfter;
};
void AuditDeviceJob(const CliTarget &target, const CliRequest &request, const AuditFacts &facts, CliResult &result);
