#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QHash>
#include <QSet>
#include <QString>

// Appends `line` (ending in a newline) to `path` with one write under a lock,
// then syncs it to the disk: a line that was appended survives the program
// being killed or the power going. False with the system's reason in `why`.
bool AppendSyncedLine(const QString &path, const QByteArray &line, QString *why = nullptr);

// A run's journal: one result object per device (JSON Lines) appended as the
// device ends, so that a run stopped half-way can be resumed where it was.
class JobJournal {
public:
    explicit JobJournal(QString path) : m_path(std::move(path)) {}
    const QString &Path() const { return m_path; }

    // Whether results can be appended: the file is made (empty) when it is
    // missing (a pipe without a reader is refused, not waited on). False
    // with `error` set (the path and the system's reason).
    bool CheckWritable(QString *error = nullptr) const;

    // Appends the result; false with `error` set when it cannot be written.
    bool Append(const QJsonObject &result, QString *error = nullptr) const;

    // The devices whose last result in the journal for `command` with a file
    // of `sha256` (empty for commands without a file) succeeded, into `done`.
    // A journal that does not exist yet holds none; lines that are not JSON
    // (a line cut off by a crash) are skipped. False with `error` set when
    // the journal is there but cannot be read: a resumed run must not take
    // that for a journal of nothing done.
    // `ports`, when given, gets the port each done unit was on, by the port:
    // what a run that touches no port can say of a device named by its port.
    bool Succeeded(const QString &command, const QString &sha256, QSet<QString> &done, QString *error = nullptr,
                   QHash<QString, QString> *ports = nullptr) const;

private:
    QString m_path;
};
