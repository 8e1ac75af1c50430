#include "core/RunPlan.h"

#include "core/config/Programming.h"
#include "core/firmware/HexImage.h"

#include <QJsonArray>

namespace {

QJsonObject step(const QString &action)
{
    return QJsonObject {{QStringLiteral("action"), action}};
}

QString withoutLineEnd(const QByteArray &command)
{
    QByteArray text = command;
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    return QString::fromLatin1(text);
}

QJsonArray updateSteps(const RunPlanRequest &request)
{
    QJsonArray steps;
    steps << step(QStringLiteral("identify"));
    QJsonObject enter = step(QStringLiteral("enter-boot-loader"));
    if (request.reset) {
        enter.insert(QStringLiteral("how"), QStringLiteral("reset"));
    } else {
        enter.insert(QStringLiteral("how"), QStringLiteral("power-cycle"));
        enter.insert(QStringLiteral("wait_seconds"), request.powerCycleWaitSeconds);
    }
    steps << enter << step(QStringLiteral("erase"));
    // The boot loader takes the image from address 0 up to its last byte,
    // a page at a time, in the page size it announces.
    const qint64 bytes = request.image ? qint64(request.image->ImageHighAddress) + 1 : 0;
    QJsonObject pages = step(QStringLiteral("pages"));
    pages.insert(QStringLiteral("bytes"), bytes);
    QJsonObject bySize;
    for (const quint32 size : BootPageSizes)
        bySize.insert(QString::number(size), (bytes + size - 1) / size);
    pages.insert(QStringLiteral("pages_by_page_size"), bySize);
    steps << pages << step(QStringLiteral("lock-bits"));
    QJsonObject after = step(QStringLiteral("identify"));
    after.insert(QStringLiteral("check"), QStringLiteral("same-serial"));
    steps << after;
    return steps;
}

QJsonArray sendSteps(const RunPlanRequest &request)
{
    QJsonArray steps;
    for (const CommandFileLine &line : request.commandFile) {
        QJsonObject send = step(QStringLiteral("send"));
        send.insert(QStringLiteral("command"), QString::fromLatin1(line.Text));
        send.insert(QStringLiteral("line"), line.LineNumber);
        steps << send;
    }
    for (const QString &text : request.texts) {
        QJsonObject send = step(QStringLiteral("send"));
        send.insert(QStringLiteral("command"), text);
        steps << send;
    }
    return steps;
}

QJsonArray programSteps(const ProgrammingPlan &plan)
{
    QJsonArray steps;
    steps << step(QStringLiteral("identify"));
    for (const ProgrammingStep &programming : plan.Steps) {
        QJsonObject send = step(QStringLiteral("send"));
        send.insert(QStringLiteral("command"), withoutLineEnd(programming.Command));
        const bool setting = programming.kind == ProgrammingStep::Kind::Setting;
        send.insert(QStringLiteral("kind"), setting ? QStringLiteral("setting") : QStringLiteral("read-back"));
        if (!programming.Status.isEmpty())
            send.insert(QStringLiteral("status"), programming.Status);
        steps << send;
    }
    return steps;
}

// Why a programming plan cannot run; empty when it can.
QString programmingProblem(const ProgrammingPlan *plan)
{
    if (!plan)
        return QStringLiteral("No configuration to program");
    switch (plan->outcome) {
    case ProgrammingPlan::Outcome::Ready:
        return {};
    case ProgrammingPlan::Outcome::NoValidMode:
        return QStringLiteral("The configuration holds no mode to program");
    case ProgrammingPlan::Outcome::ChannelIncomplete:
        return plan->Gap.Message();
    case ProgrammingPlan::Outcome::ValueRefused:
        return plan->Refusal;
    }
    return {};
}

QString stepText(const QJsonObject &step)
{
    const QString action = step.value(QStringLiteral("action")).toString();
    if (action == QLatin1String("send")) {
        QString text = QStringLiteral("send \"%1\"").arg(step.value(QStringLiteral("command")).toString());
        if (step.contains(QStringLiteral("line")))
            text += QStringLiteral(" (line %1)").arg(step.value(QStringLiteral("line")).toInt());
        if (step.value(QStringLiteral("kind")).toString() == QLatin1String("read-back"))
            text += QStringLiteral(" (read-back)");
        return text;
    }
    if (action == QLatin1String("identify"))
        return step.contains(QStringLiteral("check"))
                   ? QStringLiteral("identify again: the same serial number must answer")
                   : QStringLiteral("identify (serial number and software version)");
    if (action == QLatin1String("enter-boot-loader"))
        return step.value(QStringLiteral("how")).toString() == QLatin1String("reset")
                   ? QStringLiteral("enter the boot loader: send \"reset\" twice")
                   : QStringLiteral("enter the boot loader: wait up to %1 s for the power cycle")
                         .arg(step.value(QStringLiteral("wait_seconds")).toInt());
    if (action == QLatin1String("pages")) {
        const QJsonObject bySize = step.value(QStringLiteral("pages_by_page_size")).toObject();
        QStringList counts;
        for (const quint32 size : BootPageSizes)
            counts << QStringLiteral("%1 of %2 bytes")
                          .arg(bySize.value(QString::number(size)).toInteger())
                          .arg(size);
        return QStringLiteral("send %1 bytes as pages (the boot loader names the page size): %2")
            .arg(step.value(QStringLiteral("bytes")).toInteger())
            .arg(counts.join(QStringLiteral(", ")));
    }
    if (action == QLatin1String("erase"))
        return QStringLiteral("erase the flash");
    if (action == QLatin1String("lock-bits"))
        return QStringLiteral("program the lock bits");
    return action;
}

} // namespace

RunPlan PlanRun(const RunPlanRequest &request)
{
    RunPlan plan;
    QJsonArray steps;
    if (request.command == QLatin1String("identify")) {
        steps << step(QStringLiteral("identify"));
    } else if (request.command == QLatin1String("send")) {
        steps = sendSteps(request);
        if (steps.isEmpty())
            plan.problem = QStringLiteral("Nothing to send");
    } else if (request.command == QLatin1String("program")) {
        plan.problem = programmingProblem(request.programming);
        if (plan.problem.isEmpty())
            steps = programSteps(*request.programming);
    } else if (request.command == QLatin1String("update")) {
        if (!request.image)
            plan.problem = QStringLiteral("No firmware image");
        else
            steps = updateSteps(request);
    } else {
        plan.problem = QStringLiteral("unknown command '%1'").arg(request.command);
    }
    if (request.devices.isEmpty() && request.serials.isEmpty())
        plan.problem = QStringLiteral("No device named");
    if (!plan.problem.isEmpty())
        return plan;

    QStringList keys = request.devices;
    for (const QString &serial : request.serials)
        keys << QStringLiteral("serial ") + serial;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QString &key = keys.at(i);
        QJsonObject device {
            {QStringLiteral("event"), QStringLiteral("plan")},
            {QStringLiteral("device"), key},
            {QStringLiteral("command"), request.command},
        };
        if (!request.file.isEmpty()) {
            device.insert(QStringLiteral("file"), request.file);
            device.insert(QStringLiteral("sha256"), request.sha256);
        }
        if (i >= request.devices.size())
            device.insert(QStringLiteral("find"), QStringLiteral("every numbered port is asked for its serial number "
                                                                 "as the run starts"));
        const bool skip = request.done.contains(key);
        device.insert(QStringLiteral("skip"), skip);
        if (skip)
            device.insert(QStringLiteral("note"), QStringLiteral("done before, by the journal"));
        device.insert(QStringLiteral("steps"), skip ? QJsonArray() : steps);
        plan.devices << device;
    }
    return plan;
}

QStringList RunPlanText(const RunPlan &plan)
{
    QStringList lines;
    for (const QJsonObject &device : plan.devices) {
        QString head = device.value(QStringLiteral("device")).toString() + QStringLiteral(": ")
                       + device.value(QStringLiteral("command")).toString();
        if (device.contains(QStringLiteral("file")))
            head += QLatin1Char(' ') + device.value(QStringLiteral("file")).toString();
        if (device.value(QStringLiteral("skip")).toBool()) {
            lines << head + QStringLiteral(": skipped, ") + device.value(QStringLiteral("note")).toString();
            continue;
        }
        if (device.contains(QStringLiteral("find")))
            head += QStringLiteral(" (found by serial number: ") + device.value(QStringLiteral("find")).toString()
                    + QLatin1Char(')');
        lines << head;
        const QJsonArray steps = device.value(QStringLiteral("steps")).toArray();
        for (qsizetype n = 0; n < steps.size(); ++n)
            lines << QStringLiteral("  %1. %2").arg(n + 1).arg(stepText(steps.at(n).toObject()));
    }
    return lines;
}
