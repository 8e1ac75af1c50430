#pragma once

#include <QByteArray>
#include <QString>

#include "core/SendableText.h"
#include "core/config/DeviceConfig.h"

// Files larger than this are no configuration files; they are refused rather
// than read in part.
constexpr qint64 ConfigFileMaxBytes = 1024 * 1024;

// A value in a configuration file that the device cannot take.
struct ConfigValueFault {
    int Line = 0; // from 1
    QString Key;  // the field, by its key ("Ch1Name")
    SendableFault Fault;
    // "Line 20, Ch1Name, character 7: "日" (U+65E5) is not ..."
    QString Message() const;
};

// Applies the key=value lines of `fileText` onto `config`, which the caller
// has reset: keys are matched without regard to case and may be shortened,
// lines that cannot be used are skipped, values are cut to their fields. The
// text is read as UTF-8 when it is valid UTF-8, else one byte a character
// (the form the writer uses); a byte-order mark is skipped. A value holding a
// character the device cannot take (SendableText's rule) ends the parse: it
// is told in `fault` (when given) and `config` holds only what came before.
// Returns the number of lines that were settings.
int ParseConfigText(const QByteArray &fileText, DeviceConfigRecord &config, ConfigValueFault *fault = nullptr);

// Loads a configuration file's contents, read once by the caller: as
// ReadConfigFile does after reading the file.
int LoadConfigText(const QByteArray &text, DeviceConfigRecord &config, const StatusSink &status = {},
                   QString *reason = nullptr);

// Loads a configuration file: resets `config` and parses the file into it.
// Returns 0, or -1 when the file cannot be read or is no configuration file
// (too large, bytes of value zero, not one line a setting) or holds a value
// the device cannot take (its line, field and character named); `config` is
// then unchanged and `reason` (when given) tells the user why. A file with only
// some of the settings loads: the others keep their defaults.
int ReadConfigFile(const QString &path, DeviceConfigRecord &config = DeviceConfig,
                   const StatusSink &status = {}, QString *reason = nullptr);

// What the user is told when a configuration file is not loaded.
QString ConfigFileErrorText(const QString &path, const QString &reason);

// The complete text of a configuration file, lines ending in CR LF, one byte
// a character (UTF-8 only where those bytes would read as UTF-8). Only the
// named slots among the first `channelCount` are written. `serialNumber`
// heads the file when it is a plain 5-character serial number.
QByteArray FormatConfigFile(const DeviceConfigRecord &config, int channelCount,
                            const QByteArray &serialNumber);

// Replaces the file at `path` atomically. Returns 0, or -1 with the system's
// reason in `systemError` (when given); the old file is then left as it was.
int WriteConfigFile(const QString &path, const DeviceConfigRecord &config, int channelCount,
                    const QByteArray &serialNumber, const StatusSink &status = {},
                    QString *systemError = nullptr);
