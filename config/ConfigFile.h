#pragma once

#include <QString>

// Loads a configuration file into the live device configuration.
// Returns 0 on success, -1 when the file cannot be opened.
int ReadConfigFile(const QString &path);
