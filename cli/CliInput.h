#pragma once

#include "cli/CliOptions.h"

// The job's input (the configuration, the HEX image, the command file) is
// read and checked once, before any device is touched. Returns CliSuccess,
// or CliBadFile with the reason said on standard error.
int ReadJobInput(CliCommandLine &line);
