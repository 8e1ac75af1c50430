#pragma once

#include "cli/CliOptions.h"

// The job's input (the configuration, the HEX image, the command file) is
// read and checked once, before any device is touched: every device gets
// exactly those bytes, and the journal and the audit trail record their
// SHA-256. Returns CliSuccess, or CliBadFile with the reason said on
// standard error.
int ReadCliInput(CliCommandLine &line);
