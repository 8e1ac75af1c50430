#pragma once

#include "core/config/DeviceConfig.h"

#include <QByteArray>
#include <QString>

// What a job (a program or an update) works from, taken once at its start:
// the device gets exactly these bytes, and the journal and the audit trail
// name them by their hash, whatever happens to the file meanwhile.
struct JobInput {
    // The file the bytes came from (absolute); for an edited configuration
    // the file it was loaded from, empty when there was none.
    QString Path;
    QByteArray Bytes;
    // SHA-256 of Bytes, lower-case hex.
    QString Sha256;
    // The bytes are a configuration as edited in the window, not the file's
    // contents.
    bool Edited = false;

    static JobInput FromBytes(const QString &path, const QByteArray &bytes, bool edited = false);
};

// Reads the file at `path` once, whole. Refuses what is not a regular file
// (a FIFO or a device could block or never end) and a file larger than
// `maxBytes`. False with `reason` set for the user when it cannot be read.
bool ReadJobInput(const QString &path, qint64 maxBytes, JobInput &input, QString *reason = nullptr);

// A configuration about to be programmed. `sourcePath` is the configuration
// file it was loaded from (may be empty). When that file programs the same
// lines into the device, the file as read now; otherwise the configuration
// in the file's form (`channelCount` channels, headed by `serialNumber`),
// marked edited.
JobInput ConfigJobInput(const DeviceConfigRecord &config, int channelCount, const QByteArray &serialNumber,
                        const QString &sourcePath);
