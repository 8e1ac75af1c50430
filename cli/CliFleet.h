#pragma once

#include "cli/CliJob.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QCommandLineParser;
class QObject;

// What a production line adds to a run on many devices: which devices (a
// list file, a serial number), how many at once, when to stop starting new
// ones, the journal that lets a stopped run be resumed, and Ctrl+C.

// Exit status of a run stopped with Ctrl+C.
constexpr int CliInterrupted = 130;

struct FleetOptions {
    QStringList serials;  // --serial
    int jobs = 0;         // devices at once; 0: all
    int maxFailures = 0;  // no new device after this many failed; 0: no limit
    QString journal;      // --journal
    bool resume = false;
};

void AddFleetOptions(QCommandLineParser &parser);
// Reads --serial, --jobs, --max-failures, --journal and --resume; false with
// `problem` set when one is wrong.
bool ReadFleetOptions(const QCommandLineParser &parser, FleetOptions &options, QString &problem);

// Appends the entries of a list file (one a line, blanks around them
// dropped, empty lines and `#` comments skipped) to `entries`. False with
// `problem` set when the file cannot be read.
bool ReadListFile(const QString &path, QStringList &entries, QString &problem);

// One device a run names: where it is reached, the key it has in the
// journal, and (for a serial number that was not found once) the failure
// that stands for its result.
struct FleetDevice {
    CliTarget target;
    QString key;
    bool found = true;
    QString problem;
    QString reason; // one of CliReason when not found
};

// Identifies whatever answers on every numbered port (the USB cable has its
// number too), all at once; nothing but the identification is written.
// Returns one device per serial number: found when exactly one port
// answered with it, otherwise a failure that names what answered.
QList<FleetDevice> FindDevicesBySerial(const QStringList &serials);

// Runs `runOne(i)` for each device, at most `options.jobs` at once, each on a
// thread of its own; `done(i, result)` is called as each ends (the journal
// is written there). Devices the journal shows done are not run when
// resuming; none is started after `maxFailures` failures or Ctrl+C.
QList<CliResult> RunFleet(const QList<FleetDevice> &devices, const CliRequest &request, const FleetOptions &options,
                          const std::function<CliResult(qsizetype index)> &runOne);

// Ctrl+C: once it was pressed, no device is started, every update in
// progress is stopped with the boot loader's abort, and the run exits
// with CliInterrupted.
void InstallInterruptHandler();
bool Interrupted();
// While it lives, Ctrl+C calls `stop` on `context`'s thread (at once when
// Ctrl+C came before).
class InterruptScope {
public:
    InterruptScope(QObject *context, std::function<void()> stop);
    ~InterruptScope();
    InterruptScope(const InterruptScope &) = delete;
    InterruptScope &operator=(const InterruptScope &) = delete;

private:
    quint64 m_id;
};

// Appends the audit trail's entry for a program or update job; a failed
// write is told on standard error and in `result` and stops nothing.
struct AuditFacts {
    QString serialBefore, versionBefore, serialAfter, versionAfter;
};
void AuditDeviceJob(const CliTarget &target, const CliRequest &request, const AuditFacts &facts, CliResult &result);

// Writes a line on standard error, whole, beside other threads' lines.
void FleetWarn(const QString &line);
