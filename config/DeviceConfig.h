#pragma once

// The live device configuration. Its fields arrive with the configuration
// editor; for now the record only knows how to return to its defaults.
void ResetConfig();
