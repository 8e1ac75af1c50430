#pragma once

#include "cli/CliFleet.h"
#include "cli/CliJob.h"

#include <QList>
#include <QString>

struct HexImage;

// The command's word, as the journal records it and --resume looks it up.
QString CliCommandWord(CliRequest::Command command);

// --plan: prints what the run would do (text, or JSON Lines with `json`)
// and touches no port. `image` is the checked firmware of an update. Returns
// the exit status: success, or bad usage with the reason on standard error.
int PrintRunPlan(const CliRequest &request, const QList<CliTarget> &targets, const FleetOptions &fleet,
                 const HexImage *image, bool json);
