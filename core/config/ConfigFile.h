#pragma once

#include <QByteArray>
#include <QString>

#include "core/config/DeviceConfig.h"

// Files larger than this are no configuration files; they are refused rather
// than read in part.
constexpr qint64 ConfigFileMaxBytes = 1024 * 1024;

// Applies the key=value lines of `fileText` onto `config`, which the caller
// has reset: keys are matched without regard to case and may be shortened,
// lines that cannot be used are skipped, values are cut to their fields.
// Returns the number of lines that were settings.
int ParseConfigText(const QByteArray &fileText, DeviceConfigRecord &config);

// Loads a configuration file: resets `config` and parses the file into it.
// Returns 0, or -1 when the file cannot be read or is no configuration file
// (too large, bytes of value zero, not one line a setting); `config` is then
// unchanged and `reason` (when given) tells the user why. A file with only
// some of the settings loads: the others keep their defaults.
int ReadConfigFile(const QString &path, DeviceConfigRecord &config = DeviceConfig,
                   const StatusSink &status = {}, QString *reason = nullptr);

// What the user is told when a configuration file is not loaded.
QString ConfigFileErrorText(const QString &path, const QString &reason);

// The complete text of a configuration file, lines ending in CR LF. Only the
// named slots among the first `channelCount` are written. `serialNumber`
// heads the file when it is a plain 5-character serial number.
QByteArray FormatConfigFile(const DeviceConfigRecord &config, int channelCount,
                            const QByteArray &serialNumber);

// Replaces the file at `path` atomically. Returns 0, or -1 with the system's
// reason in `systemError` (when given); the old file is then left as it was.
int WriteConfigFile(const QString &path, const DeviceConfigRecord &config, int channelCount,
                    const QByteArray &serialNumber, const StatusSink &status = {},
                    QString *systemError = nullptr);
