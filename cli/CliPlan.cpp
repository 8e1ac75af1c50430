#include "cli/CliPlan.h"

#include "cli/CliMain.h"
#include "core/AuditTrail.h"
#include "core/JobJournal.h"
#include "core/JsonLines.h"
#include "core/RunPlan.h"

#include <QFileInfo>

#include <cstdio>

namespace {

void printLine(FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
}

} // namespace

QString CliCommandWord(CliRequest::Command command)
{
    switch (command) {
    case CliRequest::Command::Identify:
        return QStringLiteral("identify");
    case CliRequest::Command::Send:
        return QStringLiteral("send");
    case CliRequest::Command::Program:
        return QStringLiteral("program");
    case CliRequest::Command::Update:
        return QStringLiteral("update");
    }
    return {};
}

int PrintRunPlan(const CliRequest &request, const QList<CliTarget> &targets, const FleetOptions &fleet,
                 const HexImage *image, bool json)
{
    RunPlanRequest plan;
    plan.command = CliCommandWord(request.command);
    for (const CliTarget &target : targets)
        plan.devices << target.Label();
    plan.serials = fleet.serials;
    if (!request.file.isEmpty()) {
        plan.file = QFileInfo(request.file).absoluteFilePath();
        plan.sha256 = FileSha256(request.file);
    }
    plan.texts = request.texts;
    plan.commandFile = request.commandFile;
    plan.programming = request.plan.get();
    plan.image = image;
    plan.reset = request.reset;
    plan.powerCycleWaitSeconds = request.powerCycleWaitMs / 1000;
    if (fleet.resume && !fleet.journal.isEmpty())
        plan.done = JobJournal(fleet.journal).Succeeded(plan.command, plan.sha256);

    const RunPlan result = PlanRun(plan);
    if (!result.problem.isEmpty()) {
        printLine(stderr, QStringLiteral("mirto-cli: ") + result.problem);
        return CliBadUsage;
    }
    if (json) {
        for (const QJsonObject &device : result.devices)
            printLine(stdout, QString::fromUtf8(JsonLine(device)));
    } else {
        for (const QString &line : RunPlanText(result))
            printLine(stdout, line);
    }
    std::fflush(stdout);
    return CliSuccess;
}
