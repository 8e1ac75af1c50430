#pragma once

#include "cli/CliOptions.h"

// --plan: prints what the run would do (text, or JSON Lines with --json) and
// touches no port; with --resume the journal is read as the run reads it.
// Returns the exit status: success, or bad usage with the reason on
// standard error.
int PrintRunPlan(const CliCommandLine &line);
