#pragma once

#include "core/CommandFile.h"
#include "core/JobInput.h"
#include "core/config/Programming.h"

#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct CliResult;

// Where one device is reached.
struct CliTarget {
    enum class Kind { Serial, Usb, Network };
    Kind kind = Kind::Serial;
    int port = 0;           // COM number (serial, USB once found)
    QString path;           // serial: a device path given instead of COMn
    QString host;           // network
    quint16 tcpPort = 9000; // network
    QString name;           // how to name it instead (a serial number not found)
    // What the search by serial number learnt of it: identify answers with
    // that instead of asking the device twice.
    std::shared_ptr<const CliResult> identified;
    // The unit the job is for, when the search found it by its serial
    // number: the job identifies whatever is on the port at its start and
    // goes on only with that unit.
    QByteArray unit;
    // "COM3", "USB", "127.0.0.1:9000": how lines and results name the device.
    QString Label() const;
};

// What the command line asked for, the same for every device.
struct CliRequest {
    enum class Command { Identify, Send, Program, Update };
    Command command = Command::Identify;
    QStringList texts; // send
    QList<CommandFileLine> commandFile; // send --file: sent in place of texts
    QString file;      // program, update: the file as named
    // program, update: the file's bytes, read once before any device is
    // touched; the device gets these, and the records name their SHA-256.
    std::shared_ptr<const JobInput> input;
    // program: the steps, worked out once from the file before any device is
    // opened (a value the device cannot take was refused there).
    std::shared_ptr<const ProgrammingPlan> plan;
    bool reset = false;
    int powerCycleWaitMs = 60000;
    int portWaitSeconds = 0; // --wait-for-port: how long a port another program holds is waited for
    // The search by serial number watches its probes: `watch` gets the job's
    // connection (nullptr before it goes), `asking` is called as the link is
    // open and identify's first question goes out, `heard` as bytes arrive.
    std::function<void(class DeviceConnection *connection)> watch;
    std::function<void()> asking;
    std::function<void()> heard;
    // Resuming: the journal keys of what was done before. A device whose
    // unit is not known before its job is identified at its start and is
    // left alone when its key is among them.
    std::shared_ptr<const QSet<QString>> done;
};

// How the journal names a device: by the serial number of its unit when
// one is known ("serial 12AB3"), else by where it is reached (its label).
QString CliJournalKey(const QByteArray &unit, const QString &label);

// Why a device failed, as one word for scripts (the "reason" of --json).
namespace CliReason {
inline const QString NoResponse = QStringLiteral("no-response");      // the link is up, the device is silent
inline const QString WentAway = QStringLiteral("went-away");          // unplugged, connection closed
inline const QString CannotOpen = QStringLiteral("cannot-open");      // port or connection could not be opened
inline const QString NotIdentified = QStringLiteral("not-identified"); // answered without a serial number
inline const QString Refused = QStringLiteral("refused");             // the device did not take the job
inline const QString DifferentDevice = QStringLiteral("different-device"); // another unit than the one the job was for
inline const QString UpdateFailed = QStringLiteral("update-failed");  // the boot loader's transfer failed
inline const QString NotFound = QStringLiteral("not-found");          // no port answered with the serial number
inline const QString Ambiguous = QStringLiteral("ambiguous");        // several ports answered with it
inline const QString Interrupted = QStringLiteral("interrupted");     // Ctrl+C stopped the device's job
inline const QString NotStarted = QStringLiteral("not-started");     // interrupted, or --max-failures reached
inline const QString Error = QStringLiteral("error");                 // the tool itself failed
// Every word, in the order --help and the manual page list them.
inline const QStringList All = {NoResponse, WentAway,  CannotOpen,  NotIdentified, Refused, DifferentDevice,
                                UpdateFailed, NotFound, Ambiguous, Interrupted, NotStarted, Error};
} // namespace CliReason

// The command's name in results, the journal and the audit trail.
QString CliCommandName(CliRequest::Command command);

// One device's outcome.
struct CliResult {
    bool ok = false;
    QString reason;   // one of CliReason when not ok
    QString error;    // what happened, for people; may hold several lines
    QJsonObject data; // serial, version, answers, steps...
    qint64 elapsedMs = 0; // how long the device's job took (0: not run)
    // The serial number of the unit the job found at its start, when it
    // said one that tells units apart.
    QByteArray unit;
    // Not run: the journal shows it done before.
    bool skipped = false;
};

// Runs `request` on one device from start to end, on the calling thread
// (which needs no event loop of its own: the job runs its own). `say` gets
// each line of progress as it happens; `progress` the update's page count.
// Never throws: an error of the tool's own ends the job as a failure.
CliResult RunDeviceJob(const CliTarget &target, const CliRequest &request,
                       const std::function<void(const QString &line)> &say,
                       const std::function<void(quint32 value, quint32 maximum)> &progress = {});
