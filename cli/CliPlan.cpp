#include "cli/CliPlan.h"

#include "cli/CliMain.h"
#include "cli/CliOutput.h"
#include "cli/CliReport.h"
#include "core/AuditTrail.h"
#include "core/JobJournal.h"
#include "core/RunPlan.h"

#include <QFileInfo>

int PrintRunPlan(const CliCommandLine &line)
{
    const CliRequest &request = line.request;
    RunPlanRequest plan;
    plan.command = CliCommandName(request.command);
    for (const CliTarget &target : line.targets)
        plan.devices << target.Label();
    plan.serials = line.fleet.serials;
    if (!request.file.isEmpty()) {
        plan.file = QFileInfo(request.file).absoluteFilePath();
        plan.sha256 = request.input ? request.input->Sha256 : FileSha256(request.file);
    }
    plan.texts = request.texts;
    plan.commandFile = request.commandFile;
    plan.programming = request.plan.get();
    plan.image = line.image.get();
    plan.reset = request.reset;
    plan.powerCycleWaitSeconds = request.powerCycleWaitMs / 1000;
    // The journal is read, never made: a plan leaves no trace.
    if (line.fleet.resume) {
        QString problem;
        QHash<QString, QString> ports;
        if (!JobJournal(line.fleet.journal).Succeeded(plan.command, plan.sha256, plan.done, &problem, &ports)) {
            CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + problem);
            return CliBadUsage;
        }
        // The journal keys a unit by its serial number; a device named by
        // its port is skipped when the unit done on that port is still there,
        // which the run finds out and a plan, opening no port, cannot.
        for (auto it = ports.cbegin(); it != ports.cend(); ++it)
            plan.done.insert(it.key());
    }

    if (QString problem; !line.junit.isEmpty() && !CheckJunitPath(line.junit, problem)) {
        CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + problem);
        return CliBadUsage;
    }

    const RunPlan result = PlanRun(plan);
    if (!result.problem.isEmpty()) {
        CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + result.problem);
        return CliBadUsage;
    }
    if (line.json) {
        for (const QJsonObject &device : result.devices)
            CliWriteObject(device);
    } else {
        for (const QString &text : RunPlanText(result))
            CliWriteLine(stdout, text);
    }
    return CliSuccess;
}
