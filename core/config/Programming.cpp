#include "core/config/Programming.h"

#include "core/DevicePorts.h"

#include <algorithm>

namespace {

// An empty value goes out as one blank, so that every setting line keeps the
// form "command key value".
QByteArray Value(const QByteArray &text)
{
    return text.isEmpty() ? QByteArray(" ") : text;
}

class StepList {
public:
    explicit StepList(QList<ProgrammingStep> &steps) : m_steps(steps) {}

    // "Programming " + label in the status list, then `command` + value.
    void Setting(const QString &label, const QByteArray &command, const QByteArray &value)
    {
        m_steps.append({ProgrammingStep::Kind::Setting, QStringLiteral("Programming ") + label, label,
                        command + Value(value) + '\n'});
    }
    void Line(const QString &status, const QString &label, const QByteArray &line)
    {
        m_steps.append({ProgrammingStep::Kind::Setting, status, label, line + '\n'});
    }
    void ReadBack(const QByteArray &command)
    {
        m_steps.append({ProgrammingStep::Kind::ReadBack, QString(),
                        QString::fromLatin1(command) + QStringLiteral(" read-out"), command + '\n'});
    }

private:
    QList<ProgrammingStep> &m_steps;
};

void ModeGroup(StepList &list, int mode)
{
    list.Setting(QStringLiteral("Mode"), "mode ", QByteArray::number(mode));
    list.ReadBack("mode");
}

void IspAccountGroup(StepList &list, const DeviceConfigRecord &c)
{
    list.Setting(QStringLiteral("ISP Name"), "isp 1 ", c.IspName.value());
    list.Setting(QStringLiteral("ISP Number"), "isp 2 ", c.IspNumber.value());
    list.Setting(QStringLiteral("ISP Username"), "isp 3 ", c.IspUserName.value());
    list.Setting(QStringLiteral("ISP Password"), "isp 4 ", c.IspPassword.value());
    list.ReadBack("isp");
}

void WebUrlGroup(StepList &list, const DeviceConfigRecord &c)
{
    list.Setting(QStringLiteral("ISP Database URL"), "isp 7 ", c.IspDbUrl.value());
}

void NetworkGroup(StepList &list, const DeviceConfigRecord &c)
{
    if (IsDhcp(c)) {
        // A blank IP address is how the device is told to use DHCP.
        list.Setting(QStringLiteral("DHCP mode"), "isp 9 ", QByteArray());
        return;
    }
    list.Setting(QStringLiteral("IP address"), "isp 9 ", c.IPAddress.value());
    list.Setting(QStringLiteral("Gateway"), "isp A ", c.Gateway.value());
    list.Setting(QStringLiteral("DNS 1"), "isp 5 ", c.DNS1.value());
    list.Setting(QStringLiteral("DNS 2"), "isp 6 ", c.DNS2.value());
}

void RemoteUpdateGroup(StepList &list, const DeviceConfigRecord &c)
{
    list.Setting(QStringLiteral("ISP Enable Remote Update flag"), "isp C ",
                 RemoteUpdateOn(c) ? QByteArray("T") : QByteArray("F"));
    list.Setting(QStringLiteral("ISP Remote Update URL"), "isp B ", c.IspUdUrl.value());
}

void ChannelGroup(StepList &list, const DeviceConfigRecord &c, int count)
{
    list.Line(QStringLiteral("erasing all channels"), QStringLiteral("channel erase"), "channel 3 0");
    for (int i = 0; i < count; ++i) {
        const QByteArray digit(1, "0123456789ABCDEF"[i]);
        const QString n = QString::number(i + 1);
        list.Setting(QStringLiteral("Channel Name on Channel ") + n, "channel 1 " + digit + ' ',
                     c.Channels[size_t(i)].Name.value());
        list.Setting(QStringLiteral("Channel URL on Channel ") + n, "channel 2 " + digit + ' ',
                     c.Channels[size_t(i)].Url.value());
    }
    list.ReadBack("channel");
}

int BoundedCount(int channelCount)
{
    return std::clamp(channelCount, 0, ConfigChannelSlots);
}

} // namespace

QString ChannelGap::Message() const
{
    return QStringLiteral("Channel ") + QString::number(Slot)
           + (MissingName ? QStringLiteral(" has no name") : QStringLiteral(" has no URL"));
}

QString ChannelGap::StatusLine() const
{
    return MissingName ? QStringLiteral("empty name string") : QStringLiteral("empty URL string");
}

ChannelGap FindChannelGap(const DeviceConfigRecord &config, int channelCount)
{
    const int count = BoundedCount(channelCount);
    for (int i = 0; i < count; ++i) {
        const ConfigChannel &slot = config.Channels[size_t(i)];
        if (slot.Name.isEmpty())
            return {i + 1, true};
        if (slot.Url.isEmpty())
            return {i + 1, false};
    }
    return {};
}

ProgrammingPlan ProgrammingSteps(const DeviceConfigRecord &config, int channelCount)
{
    ProgrammingPlan plan;
    const int mode = ValidMode(config);
    if (mode == 0)
        return plan;
    const int count = BoundedCount(channelCount);
    if (mode == 3) {
        // Checked before the run rather than when the channels' turn comes,
        // so that an incomplete channel list does not leave the device with
        // the new mode and account but without its channels.
        plan.ChannelsChecked = true;
        plan.Gap = FindChannelGap(config, count);
        if (plan.Gap.IsGap()) {
            plan.outcome = ProgrammingPlan::Outcome::ChannelIncomplete;
            return plan;
        }
    }
    plan.outcome = ProgrammingPlan::Outcome::Ready;
    StepList list(plan.Steps);
    ModeGroup(list, mode);
    switch (mode) {
    case 1:
        if (HasEthernet(config))
            NetworkGroup(list, config);
        break;
    case 2:
        WebUrlGroup(list, config);
        RemoteUpdateGroup(list, config);
        if (HasEthernet(config))
            NetworkGroup(list, config);
        if (HasPhoneLine(config))
            IspAccountGroup(list, config);
        break;
    default:
        RemoteUpdateGroup(list, config);
        IspAccountGroup(list, config);
        ChannelGroup(list, config, count);
        if (HasEthernet(config))
            NetworkGroup(list, config);
        break;
    }
    // Refused as a whole, so that the device is not left half programmed.
    for (const ProgrammingStep &step : std::as_const(plan.Steps)) {
        if (Unsendable(step)) {
            plan.outcome = ProgrammingPlan::Outcome::ValueRefused;
            plan.Refusal = RefusedValueText(step) + QStringLiteral("; nothing was sent");
            break;
        }
    }
    return plan;
}

SendableFault StepFault(const ProgrammingStep &step)
{
    const QByteArray body = step.Command.endsWith('\n') ? step.Command.chopped(1) : step.Command;
    // The record holds the bytes the device gets, one a character.
    return CheckSendableLine(QString::fromLatin1(body));
}

bool Unsendable(const ProgrammingStep &step)
{
    return StepFault(step).IsFault();
}

QString PromptMarkReason()
{
    SendableFault fault;
    fault.kind = SendableFault::Kind::PromptMark;
    fault.Character = U'>';
    return fault.Reason();
}

QString ProgrammingOkText()
{
    return QStringLiteral("Programming OK");
}

QString ProgrammingCaption()
{
    return QStringLiteral("Program Mirto Configuration");
}

QString NoResponseText()
{
    return QStringLiteral("No response from Mirto....  ");
}

QString ProgrammingFailedStatus()
{
    return QStringLiteral("Programming failed");
}

QString RefusedValueText(const ProgrammingStep &step)
{
    return step.Label + QStringLiteral(": ") + StepFault(step).Reason();
}

QByteArray DeviceRefusal(const QByteArray &reply)
{
    const QList<QByteArray> lines = reply.split('\n');
    for (const QByteArray &line : lines) {
        const QByteArray text = line.trimmed();
        if (text.startsWith("Invalid ") || text.startsWith("Unknown command"))
            return text;
    }
    return {};
}

QString DeviceRefusedText(const ProgrammingStep &step, const QByteArray &refusal)
{
    return QStringLiteral("Mirto refused %1: %2").arg(step.Label, QString::fromLatin1(refusal));
}

namespace {

// A prompted setting the device refused: told, and true.
bool TellRefusal(CommandPort &port, const ProgrammingStep &step, ProgrammingSink &sink)
{
    if (step.kind != ProgrammingStep::Kind::Setting)
        return false;
    const QByteArray refusal = DeviceRefusal(port.Reply());
    if (refusal.isEmpty())
        return false;
    sink.ShowMessage(DeviceRefusedText(step, refusal), QString());
    sink.AddStatus(ProgrammingFailedStatus());
    return true;
}

} // namespace

int SendSetting(CommandPort &port, const ProgrammingStep &step, ProgrammingSink &sink)
{
    if (Unsendable(step)) {
        sink.ShowMessage(RefusedValueText(step), QString());
        sink.AddStatus(ProgrammingFailedStatus());
        return -1;
    }
    // The exchange forgets any prompt and reply from before it sends, so
    // only this line's own prompt confirms it.
    sink.SetBusyCursor();
    const bool prompted = port.ExchangeCommand(step.Command);
    sink.RestoreCursor();
    if (prompted)
        return TellRefusal(port, step, sink) ? -1 : 0;
    // A link that went away is no silent device: the connection has told
    // the user how it ended, and a second box would blame the device.
    if (port.IsConnected())
        sink.ShowMessage(NoResponseText(), QString());
    sink.AddStatus(ProgrammingFailedStatus());
    return -1;
}

ProgrammingResult RunProgramming(CommandPort &port, const ProgrammingPlan &plan, ProgrammingSink &sink)
{
    // A value that can never go out is told at once: no link is opened for
    // a run that cannot start.
    if (plan.outcome == ProgrammingPlan::Outcome::ValueRefused) {
        sink.ShowMessage(plan.Refusal, QString());
        sink.AddStatus(ProgrammingFailedStatus());
        return ProgrammingResult::ValueRefused;
    }
    // A network open only starts the attempt; the user programs again once
    // the link is up.
    if (!port.OpenIfClosed())
        return ProgrammingResult::NotConnected;
    if (plan.outcome == ProgrammingPlan::Outcome::NoValidMode)
        return ProgrammingResult::NoValidMode;
    if (plan.ChannelsChecked)
        sink.AddStatus(QStringLiteral("checking for empty Channel strings"));
    if (plan.outcome == ProgrammingPlan::Outcome::ChannelIncomplete) {
        sink.ShowMessage(plan.Gap.Message(), QString());
        sink.AddStatus(plan.Gap.StatusLine());
        return ProgrammingResult::ChannelIncomplete;
    }
    // Refused before the first line goes out, so that the device is not
    // left half programmed.
    for (const ProgrammingStep &step : plan.Steps) {
        if (Unsendable(step)) {
            sink.ShowMessage(RefusedValueText(step), QString());
            sink.AddStatus(ProgrammingFailedStatus());
            return ProgrammingResult::ValueRefused;
        }
    }
    // The run holds the link: nothing another window asks for goes out
    // between its lines, and no late prompt of an earlier command counts for
    // one of them.
    if (!port.BeginSequence(QStringLiteral("programming")))
        return ProgrammingResult::Busy;
    bool answered = true;
    const ProgrammingStep *refused = nullptr;
    QByteArray refusal;
    for (const ProgrammingStep &step : plan.Steps) {
        if (!step.Status.isEmpty())
            sink.AddStatus(step.Status);
        sink.SetBusyCursor();
        answered = port.ExchangeCommand(step.Command);
        sink.RestoreCursor();
        if (!answered)
            break;
        // A setting the device did not take ends the run: what follows may
        // depend on it, and "Programming OK" would be untrue.
        if (step.kind == ProgrammingStep::Kind::Setting)
            refusal = DeviceRefusal(port.Reply());
        if (!refusal.isEmpty()) {
            refused = &step;
            break;
        }
    }
    // The outcome is told once the link is free again.
    port.EndSequence();
    if (refused) {
        // Settings before the refused one went in: the device was changed.
        sink.RunEnded(false, DeviceRefusedText(*refused, refusal));
        sink.ShowMessage(DeviceRefusedText(*refused, refusal), QString());
        sink.AddStatus(ProgrammingFailedStatus());
        return ProgrammingResult::DeviceRefused;
    }
    if (!answered) {
        // A link that went away is no silent device: the connection has
        // told the user how it ended.
        const bool connected = port.IsConnected();
        sink.RunEnded(false, connected ? NoResponseText() : QString());
        if (connected)
            sink.ShowMessage(NoResponseText(), QString());
        sink.AddStatus(ProgrammingFailedStatus());
        return ProgrammingResult::NoResponse;
    }
    sink.RunEnded(true, QString());
    sink.ShowMessage(ProgrammingOkText(), ProgrammingCaption());
    return ProgrammingResult::Programmed;
}
