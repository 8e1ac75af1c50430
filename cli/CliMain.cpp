#include "cli/CliMain.h"

#include "cli/CliFleet.h"
#include "cli/CliInput.h"
#include "cli/CliInterrupt.h"
#include "cli/CliJob.h"
#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "cli/CliPlan.h"
#include "cli/CliPorts.h"
#include "cli/CliReport.h"
#include "cli/CliSerialSearch.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <unistd.h>

namespace {

// Every device the run names, those found by serial number last.
QList<FleetDevice> devicesOf(const CliCommandLine &line)
{
    QList<FleetDevice> devices;
    for (const CliTarget &target : line.targets)
        devices << FleetDevice {target, target.Label(), true, {}, {}};
    devices << FindDevicesBySerial(line.fleet.serials);
    return devices;
}

QList<CliResult> runDevices(const CliCommandLine &line, const QList<FleetDevice> &devices, const QSet<QString> &done,
                            CliOutput &output)
{
    return RunFleet(devices, line.request, line.fleet, done, [&](qsizetype i) {
        return RunDeviceJob(
            devices.at(i).target, line.request, [&output, i](const QString &text) { output.Say(i, text); },
            [&output, i](quint32 value, quint32 maximum) { output.Progress(i, value, maximum); });
    });
}

} // namespace

int RunCli(const QStringList &arguments)
{
    CliCommandLine line;
    if (const std::optional<int> ended = ReadCommandLine(arguments, line))
        return *ended;
    if (line.command == QLatin1String("ports"))
        return RunPortsCommand(line.words, line.json);
    if (const int status = ReadCliInput(line); status != CliSuccess)
        return line.plan && status == CliBadFile ? CliBadUsage : status; // a plan that cannot go is bad input
    if (line.plan)
        return PrintRunPlan(line);
    // A run that could not record what it did, or would redo what was done,
    // is refused before any device is touched.
    QSet<QString> done;
    if (QString problem; !CheckFleetJournal(line.fleet, line.request, done, problem)
                         || (!line.junit.isEmpty() && !CheckJunitPath(line.junit, problem))) {
        CliWriteLine(stderr, QStringLiteral("mirto-cli: %1; nothing was sent").arg(problem));
        return CliBadUsage;
    }
    if (!done.isEmpty())
        line.request.done = std::make_shared<const QSet<QString>>(done);

    InstallInterruptHandler();
    const QList<FleetDevice> devices = devicesOf(line);
    QStringList labels;
    for (const FleetDevice &device : devices)
        labels << device.target.Label();
    CliOutput output(line.json                ? CliOutput::Mode::Json
                     : ::isatty(STDOUT_FILENO) ? CliOutput::Mode::Terminal
                                               : CliOutput::Mode::Plain,
                     labels);
    const QDateTime started = QDateTime::currentDateTimeUtc();
    QElapsedTimer clock;
    clock.start();
    const QList<CliResult> results = runDevices(line, devices, done, output);
    output.Results(results);
    // The report is written however the run ended: a CI engine that gets
    // none takes the job for a tool that failed, which it then is.
    if (QString problem; !line.junit.isEmpty()
                         && !WriteJunitReport(line.junit, line.request.command, labels, results, started, clock.elapsed(), problem)) {
        CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + problem);
        return CliToolError;
    }

    if (Interrupted())
        return CliInterrupted;
    for (const CliResult &result : results)
        if (!result.ok)
            return CliDeviceFailed;
    return CliSuccess;
}
