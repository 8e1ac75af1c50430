#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

// The record of every change made to a device, by the window and by the
// command line alike: one JSON object per line in
// $XDG_STATE_HOME/mirto/audit.jsonl (~/.local/state/mirto/audit.jsonl).
// A service bench answers "who put which file on this unit, and when" from
// it long after the terminal was closed.
struct AuditEntry {
    QString time;      // ISO 8601, UTC; filled in on append when empty
    QString user;      // filled in on append when empty
    QString hostName;  // filled in on append when empty
    QString action;    // "program" or "update"
    QString interface; // "serial", "usb" or "network"
    QString port;      // "COM3", "127.0.0.1:9000"
    QString serialBefore;
    QString serialAfter;
    QString versionBefore;
    QString versionAfter;
    QString file;
    // Of the job's input: the bytes the device was given, taken once when
    // the job started (JobInput), whatever happened to `file` meanwhile.
    QString sha256;
    // A configuration edited in the window after it was loaded: sha256 is
    // that of the configuration as programmed, in the file's form, and
    // `file` the file it was loaded from.
    bool edited = false;
    bool ok = false;
    QString reason; // why it failed; empty when it succeeded

    QJsonObject ToJson() const;
    static AuditEntry FromJson(const QJsonObject &object);
};

// Where the trail is kept.
QString AuditTrailPath();

// Appends `entry` (time, user and host name filled in when empty) as one
// line, flushed to the disk. False with `error` set when it cannot be
// written; the caller reports it and carries on with its job.
bool AppendAuditEntry(AuditEntry entry, QString *error = nullptr, const QString &path = AuditTrailPath());

// Every readable entry of the trail, newest first; those whose serial number
// (before or after) contains `serialFilter` (ignoring case) when it is set.
// Lines that are not JSON objects are skipped.
QList<AuditEntry> ReadAuditTrail(const QString &serialFilter = {}, const QString &path = AuditTrailPath());

// The SHA-256 of a file's contents in lower-case hex; empty when the file
// cannot be read.
QString FileSha256(const QString &path);

// The interface's name in the trail and in results ("serial", "network", "usb").
QString InterfaceName(int interfaceKind);
