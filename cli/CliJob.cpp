#include "cli/CliJob.h"

#include "cli/CliAudit.h"
#include "cli/CliInterrupt.h"
#include "cli/CliPortWait.h"

#include "core/config/Programming.h"
#include "core/firmware/UpdateSession.h"
#include "core/links/UsbPortDetect.h"
#include "core/DeviceConnection.h"
#include "core/DeviceIdentity.h"
#include "core/Identification.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTimer>

namespace {

// The person in front of the tool, as the command line stands in for one:
// every message becomes a line, the address is the one given.
class CliUser : public DeviceUser {
public:
    CliUser(QString host, std::function<void(const QString &)> say)
        : m_host(std::move(host)), m_say(std::move(say))
    {
    }

    QStringList told;
    QByteArray terminal;
    std::function<void()> stateChanged;
    std::function<void()> heard;
    int portWaitSeconds = 0;

    void Say(const QString &line) const
    {
        if (m_say)
            m_say(line);
    }

    void TellUser(const QString &text) override { note(text); }
    void TellBusy(const QString &text) override { note(text); }
    void ShowLinkError(const std::exception &error) override { note(QString::fromLocal8Bit(error.what())); }
    bool AskHostAddress(QString &address) override
    {
        address = m_host;
        return true;
    }
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
    void AppendTerminal(const QByteArray &text) override
    {
        terminal += text;
        if (heard)
            heard();
    }
    // An answer is the device's own text, whichever link brought it: no
    // time stamps of this machine, no line ends changed.
    void ShowReceived(const QByteArray &bytes, TerminalFormatter::Link) override
    {
        AppendTerminal(TextBeforeZero(bytes).toByteArray());
    }
    void AddStatus(const QString &) override {}
    void ShowIdentification(const QString &) override {}
    void ShowConnectionState(const ConnectionState &) override
    {
        if (stateChanged)
            stateChanged();
    }
    void PortsChanged() override {}

private:
    void note(const QString &text)
    {
        told << text.trimmed();
    }
    QString m_host;
    std::function<void(const QString &)> m_say;
};

class CliSink : public ProgrammingSink {
public:
    explicit CliSink(std::function<void(const QString &)> say) : m_say(std::move(say)) {}
    QStringList messages;
    QJsonArray steps;
    void ShowMessage(const QString &text, const QString &) override { messages << text.trimmed(); }
    void AddStatus(const QString &text) override
    {
        steps.append(text);
        m_say(text);
    }
    void SetBusyCursor() override {}
    void RestoreCursor() override {}

private:
    std::function<void(const QString &)> m_say;
};

QString lastTold(const CliUser &user, const QString &otherwise)
{
    return user.told.isEmpty() ? otherwise : user.told.constLast();
}

// A message written for a COM number, when the user named the device by its
// path: the path instead of the number, the advice and the system's reason kept.
QString openFailedText(const CliTarget &target, const QString &told)
{
    if (target.path.isEmpty())
        return told;
    QStringList paragraphs = told.split(QStringLiteral("\n\n"), Qt::SkipEmptyParts);
    if (paragraphs.size() >= 2 && paragraphs.constFirst().startsWith(QLatin1String("Error opening")))
        paragraphs.remove(0, 2); // "Error opening Comport: n", "Is the serial cable connected to COMn?"
    if (paragraphs.isEmpty())
        paragraphs << QStringLiteral("Is the device connected?");
    paragraphs.prepend(QStringLiteral("Error opening %1").arg(target.path));
    return paragraphs.join(QStringLiteral("\n\n"));
}

// A step that failed on a link that is no longer there failed because the
// device went away, whatever the step was waiting for.
bool wentAway(const DeviceConnection &conn)
{
    return conn.LinkLost() || !conn.IsConnected();
}

void failWentAway(CliResult &result, const CliTarget &target, const QString &during)
{
    result.reason = CliReason::WentAway;
    result.error = QStringLiteral("The device on %1 went away during %2").arg(target.Label(), during);
}

// A port another program holds, waited for up to --wait-for-port: tried
// again as soon as a lock file goes, or after a short while. False with
// `result` set when it was still held at the end, or Ctrl+C came.
bool waitForPort(DeviceConnection &conn, CliUser &user, const CliTarget &target, CliResult &result)
{
    const int seconds = user.portWaitSeconds;
    user.Say(QStringLiteral("%1 is in use by another program; waiting up to %2 s for it").arg(target.Label()).arg(seconds));
    const QDeadlineTimer deadline(qint64(seconds) * 1000);
    while (!conn.VaComm().Active() && conn.PortInUse() && !deadline.hasExpired() && !Interrupted()) {
        const QString folder = conn.VaComm().LockFolder();
        const int retry = folder.isEmpty() ? PortRetryUnwatchedMs : PortRetryWatchedMs;
        WaitForPortChange(folder, int(qMin<qint64>(retry, deadline.remainingTime())));
        conn.OpenConnectionClicked(false);
    }
    if (conn.VaComm().Active()) {
        user.Say(QStringLiteral("%1 is free: the job goes on").arg(target.Label()));
        return true;
    }
    if (Interrupted()) {
        result.reason = CliReason::Interrupted;
        result.error = QStringLiteral("Interrupted while waiting for %1, which another program holds: nothing was sent")
                           .arg(target.Label());
        return false;
    }
    result.reason = CliReason::CannotOpen;
    const QString told = openFailedText(target, lastTold(user, QStringLiteral("The port cannot be opened")));
    result.error = conn.PortInUse() ? QStringLiteral("%1 was still in use by another program after waiting %2 s\n\n")
                                              .arg(target.Label())
                                              .arg(seconds)
                                          + told
                                    : told;
    return false;
}

// Opens the link as the window's open button does; over the network, waits
// for the outcome of the attempt. Serial and USB identify when asked to.
// On failure `result` says why.
bool Open(DeviceConnection &conn, CliUser &user, const CliTarget &target, bool identify, CliResult &result,
          const std::function<void()> &asking = {})
{
    if (conn.Interface() != InterfaceNetwork) {
        conn.OpenConnectionClicked(false);
        if (!conn.VaComm().Active() && conn.PortInUse() && user.portWaitSeconds > 0
            && !waitForPort(conn, user, target, result))
            return false;
        if (!conn.VaComm().Active() && !conn.LinkLost()) {
            result.reason = CliReason::CannotOpen;
            result.error = openFailedText(target, lastTold(user, QStringLiteral("The port cannot be opened")));
            return false;
        }
    } else {
        QEventLoop loop;
        user.stateChanged = [&] {
            if (conn.IsConnected() || !conn.Trying())
                loop.quit();
        };
        conn.OpenConnectionClicked();
        if (conn.Trying())
            loop.exec();
        user.stateChanged = {};
        if (!conn.IsConnected()) {
            result.reason = CliReason::CannotOpen;
            result.error = lastTold(user, QStringLiteral("Unable to connect...."));
            return false;
        }
    }
    if (identify) {
        if (asking)
            asking();
        conn.Identify();
    }
    if (identify && conn.IdentifiedSerial().isEmpty()) {
        if (wentAway(conn)) {
            failWentAway(result, target, QStringLiteral("the identification"));
        } else {
            result.reason = CliReason::NoResponse;
            result.error = lastTold(user, QStringLiteral("No response from Mirto"));
        }
        return false;
    }
    return true;
}

} // namespace

QString CliTarget::Label() const
{
    if (!name.isEmpty())
        return name;
    switch (kind) {
    case Kind::Serial:
        return path.isEmpty() ? QStringLiteral("COM%1").arg(port) : path;
    case Kind::Usb:
        return port > 0 ? QStringLiteral("COM%1 (USB)").arg(port) : QStringLiteral("USB");
    case Kind::Network:
        return host + QLatin1Char(':') + QString::number(tcpPort);
    }
    return {};
}

QString CliJournalKey(const QByteArray &unit, const QString &label)
{
    return unit.isEmpty() ? label : QStringLiteral("serial ") + QString::fromLatin1(unit);
}

QString CliCommandName(CliRequest::Command command)
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

namespace {

// Each line of an answer that holds text, as a line of progress.
void sayAnswer(const std::function<void(const QString &)> &say, const QString &answer)
{
    static const QRegularExpression lineEnd(QStringLiteral("\r?\n"));
    for (const QString &row : answer.split(lineEnd))
        if (!row.isEmpty())
            say(row);
}

// One device's job from the opening of its link to its closing.
class DeviceJob {
public:
    DeviceJob(const CliTarget &target, const CliRequest &request, const std::function<void(const QString &)> &say,
              const std::function<void(quint32, quint32)> &progress)
        : m_target(target), m_request(request), m_say(say), m_progress(progress),
          m_settings(settingsFor(target)), m_user(target.host, say), m_conn(m_settings, m_user)
    {
        m_user.heard = request.heard;
        m_user.portWaitSeconds = request.portWaitSeconds;
        if (request.watch)
            request.watch(&m_conn);
        m_conn.ClientSocket().SetPort(target.tcpPort);
        // What the device sent, byte for byte, whichever link brought it.
        QObject::connect(&m_conn, &DeviceConnection::Received, [this](const QByteArray &bytes) { m_received += bytes; });
    }
    ~DeviceJob()
    {
        if (m_request.watch)
            m_request.watch(nullptr);
    }
    DeviceJob(const DeviceJob &) = delete;
    DeviceJob &operator=(const DeviceJob &) = delete;

    CliResult Run()
    {
        if (selectPort() && open() && startUnit()) {
            switch (m_request.command) {
            case CliRequest::Command::Identify:
                identify();
                break;
            case CliRequest::Command::Send:
                if (!m_request.commandFile.isEmpty())
                    sendFile();
                else
                    send();
                break;
            case CliRequest::Command::Program:
                program();
                break;
            case CliRequest::Command::Update:
                update();
                break;
            }
        }
        // The port closes with the connection, without the pause the window
        // keeps for a reopen: nothing here opens it again.
        m_conn.Shutdown();
        return m_result;
    }

private:
    // Opens the link; a job that must know its unit before it sends anything
    // identifies it now. An update asks too, but goes on without an answer:
    // a device whose firmware is broken (already in its boot loader) gives
    // none.
    bool open()
    {
        using Command = CliRequest::Command;
        if (m_request.command == Command::Update && m_target.kind == CliTarget::Kind::Network) {
            m_result.reason = CliReason::Error;
            m_result.error = QStringLiteral("Firmware updates need the serial or USB cable.");
            return false;
        }
        const bool resuming = m_request.done && !m_request.done->isEmpty();
        const bool identifyNow = m_request.command == Command::Identify || m_request.command == Command::Program
                                 || (m_request.command == Command::Send && (!m_target.unit.isEmpty() || resuming));
        if (!Open(m_conn, m_user, m_target, identifyNow, m_result, m_request.asking))
            return false;
        if (m_request.command == Command::Update)
            identifyBeforeUpdate();
        return true;
    }

    // The unit the job found, checked before anything of the job is sent: it
    // must be the one the job is for, and, resuming, not one done before.
    bool startUnit()
    {
        const QByteArray serial = m_conn.IdentifiedSerial();
        if (DeviceIdentity::Telling(serial))
            m_result.unit = serial;
        if (!m_target.unit.isEmpty()) {
            switch (DeviceIdentity(m_target.unit).Check(serial)) {
            case DeviceIdentity::Verdict::Same:
                break;
            case DeviceIdentity::Verdict::Another:
                m_result.reason = CliReason::DifferentDevice;
                m_result.error = DeviceIdentity::AnotherDeviceText(m_target.Label(), serial, m_target.unit)
                                 + QStringLiteral("; nothing was sent");
                return false;
            case DeviceIdentity::Verdict::CannotTell:
                m_result.reason = CliReason::NotIdentified;
                m_result.error = QStringLiteral("The device on %1 did not say its serial number: it cannot be told "
                                                "to be %2; nothing was sent")
                                     .arg(m_target.Label(), QString::fromLatin1(m_target.unit));
                return false;
            }
        }
        if (m_request.done && m_request.done->contains(CliJournalKey(m_result.unit, m_target.Label()))) {
            m_result.ok = true;
            m_result.skipped = true;
            m_result.data.insert(QStringLiteral("note"), QStringLiteral("done before, by the journal"));
            if (!m_result.unit.isEmpty())
                m_result.data.insert(QStringLiteral("serial"), QString::fromLatin1(m_result.unit));
            return false;
        }
        return true;
    }

    static ToolSettings settingsFor(const CliTarget &target)
    {
        ToolSettings settings;
        settings.InterfaceType = target.kind == CliTarget::Kind::Network ? InterfaceNetwork
                                 : target.kind == CliTarget::Kind::Usb   ? InterfaceUsb
                                                                         : InterfaceSerial;
        return settings;
    }

    // The COM number or device path the link opens; the USB cable's is
    // looked for now.
    bool selectPort()
    {
        int port = m_target.port;
        if (m_target.kind == CliTarget::Kind::Usb) {
            port = FindMirtoUsbPort();
            if (port < 0) {
                m_result.reason = CliReason::CannotOpen;
                m_result.error = QStringLiteral("No USB cable of a Mirto found");
                return false;
            }
        }
        m_conn.VaComm().SetPortNum(port);
        if (!m_target.path.isEmpty())
            m_conn.VaComm().SetDeviceName(m_target.path);
        return true;
    }

    void identify()
    {
        const QByteArray serial = m_conn.IdentifiedSerial();
        m_result.data.insert(QStringLiteral("version"), QString::fromLatin1(m_conn.IdentifiedVersion()));
        if (NoRealSerialNumber(serial)) {
            m_result.reason = CliReason::NotIdentified;
            m_result.error = QStringLiteral("The device's answer to \"snum\" holds no serial number");
            return;
        }
        m_result.ok = true;
        m_result.data.insert(QStringLiteral("serial"), QString::fromLatin1(serial));
        m_say(QStringLiteral("serial number %1, software version %2")
                  .arg(QString::fromLatin1(serial), QString::fromLatin1(m_conn.IdentifiedVersion())));
    }

    void send()
    {
        QJsonArray answers;
        m_result.ok = true;
        for (const QString &text : m_request.texts) {
            m_received.clear();
            const bool answered = m_conn.ExchangeCommand(text.toLatin1() + '\n');
            // Everything the device sent, not the exchange's bounded buffer:
            // a long answer is printed whole.
            const QString answer = QString::fromLatin1(m_received);
            answers.append(QJsonObject {{QStringLiteral("command"), text}, {QStringLiteral("answer"), answer}});
            sayAnswer(m_say, answer);
            if (!answered) {
                m_result.ok = false;
                if (wentAway(m_conn)) {
                    failWentAway(m_result, m_target, QStringLiteral("\"%1\"").arg(text));
                } else {
                    m_result.reason = CliReason::NoResponse;
                    m_result.error = QStringLiteral("No response from Mirto to \"%1\"").arg(text);
                }
                break;
            }
        }
        m_result.data.insert(QStringLiteral("answers"), answers);
    }

    void sendFile()
    {
        QJsonArray answers;
        CommandFileRun run;
        run.Progress = [this](int, int, const CommandFileLine &) { m_user.terminal.clear(); };
        run.Answered = [&](const CommandFileLine &line, bool) {
            const QString answer = QString::fromLatin1(m_user.terminal);
            answers.append(QJsonObject {{QStringLiteral("line"), line.LineNumber},
                                        {QStringLiteral("command"), QString::fromLatin1(line.Text)},
                                        {QStringLiteral("answer"), answer}});
            sayAnswer(m_say, answer);
        };
        const CommandFileRun::Outcome outcome = run.Run(m_conn, m_request.commandFile);
        m_result.ok = outcome.Ok();
        m_result.data.insert(QStringLiteral("answers"), answers);
        m_result.data.insert(QStringLiteral("sent"), outcome.Sent);
        m_result.data.insert(QStringLiteral("withoutPrompt"), outcome.WithoutPrompt);
        if (m_result.ok) {
            m_say(outcome.Summary());
            return;
        }
        switch (outcome.Ending) {
        case CommandFileRun::End::Completed:
            break;
        case CommandFileRun::End::NoPrompt:
            m_result.reason = wentAway(m_conn) ? CliReason::WentAway : CliReason::NoResponse;
            break;
        case CommandFileRun::End::LinkClosed:
            m_result.reason = CliReason::WentAway;
            break;
        case CommandFileRun::End::Stopped:
            m_result.reason = CliReason::Interrupted;
            break;
        case CommandFileRun::End::Refused:
            m_result.reason = CliReason::CannotOpen;
            break;
        }
        m_result.error = outcome.Ending == CommandFileRun::End::Refused ? lastTold(m_user, outcome.Summary())
                                                                         : outcome.Summary();
    }

    void program()
    {
        if (!m_request.plan) {
            m_result.reason = CliReason::Error;
            m_result.error = QStringLiteral("No configuration to program");
            return;
        }
        CliSink sink(m_say);
        AuditFacts facts {QString::fromLatin1(m_conn.IdentifiedSerial()), QString::fromLatin1(m_conn.IdentifiedVersion()),
                          {}, {}};
        const ProgrammingResult outcome = RunProgramming(m_conn, *m_request.plan, sink);
        m_result.data.insert(QStringLiteral("steps"), sink.steps);
        m_result.ok = outcome == ProgrammingResult::Programmed;
        if (m_result.ok) {
            m_say(QStringLiteral("Programming OK"));
        } else if (wentAway(m_conn)) {
            failWentAway(m_result, m_target, QStringLiteral("programming"));
        } else {
            m_result.reason = CliReason::Refused;
            m_result.error = sink.messages.isEmpty()
                                 ? (outcome == ProgrammingResult::NoValidMode
                                        ? QStringLiteral("The configuration holds no mode to program")
                                        : lastTold(m_user, QStringLiteral("Programming failed")))
                                 : sink.messages.constLast();
        }
        // Programming may set a new serial number: the device says which.
        facts.serialAfter = QString::fromLatin1(m_conn.IdentifiedSerial());
        facts.versionAfter = QString::fromLatin1(m_conn.IdentifiedVersion());
        AuditDeviceJob(m_target, m_request, facts, m_result);
    }

    void update()
    {
        UpdateSession session(m_conn.Boot(), m_request.input ? m_request.input->Bytes : QByteArray());
        if (!runUpdateSession(session)) {
            AuditDeviceJob(m_target, m_request, m_facts, m_result);
            return;
        }
        m_result.data.insert(QStringLiteral("bytes"), qint64(session.Image().ImageHighAddress) + 1);
        identifyAfterUpdate(m_facts);
        AuditDeviceJob(m_target, m_request, m_facts, m_result);
    }

    // Who is updated: the same unit must answer afterwards. A device whose
    // firmware is broken (already in its boot loader) gives none; an answer
    // without a serial number pins nothing.
    void identifyBeforeUpdate()
    {
        if (m_conn.Identify() && !NoRealSerialNumber(m_conn.IdentifiedSerial())) {
            m_facts.serialBefore = QString::fromLatin1(m_conn.IdentifiedSerial());
            m_facts.versionBefore = QString::fromLatin1(m_conn.IdentifiedVersion());
            m_result.data.insert(QStringLiteral("serial_before"), m_facts.serialBefore);
            m_result.data.insert(QStringLiteral("version_before"), m_facts.versionBefore);
        }
    }

    // The boot loader conversation to its end; false with the result's
    // failure set when the image did not go through. Ctrl+C stops it; from
    // then on the session's own lines (its advice for the window, the boot
    // loader's wind-down) are not the user's: the result says what happened.
    bool runUpdateSession(UpdateSession &session)
    {
        QEventLoop loop;
        bool stopped = false;
        const InterruptScope interruptible(&session, [&session, &stopped] {
            stopped = true;
            session.Stop();
        });
        QString error;
        bool success = false;
        QObject::connect(&session, &UpdateSession::Message, [&](const QString &text) {
            if (!stopped && !text.startsWith(QLatin1String("Sending Page #")))
                m_say(text.trimmed());
        });
        QObject::connect(&session, &UpdateSession::Status, [&](const QString &text) {
            if (!stopped)
                m_say(text);
        });
        QObject::connect(&session, &UpdateSession::Problem, [&](const QString &text) {
            if (!stopped)
                m_say(text.trimmed());
        });
        QObject::connect(&session, &UpdateSession::PowerCycleNeeded, [this] {
            m_say(QStringLiteral("Please remove the Powerplug from your Mirto and plug it in again"));
        });
        if (m_progress)
            QObject::connect(&session, &UpdateSession::Progress, m_progress);
        QObject::connect(&session, &UpdateSession::Finished, [&](bool ok, const QString &why) {
            success = ok;
            error = why;
            loop.quit();
        });
        if (session.Start(m_request.reset, m_request.powerCycleWaitMs))
            loop.exec();
        if (success)
            return true;
        if (session.StoppedAt().Stopped) {
            failInterrupted(session.StoppedAt());
        } else if (m_conn.LinkLost()) {
            failWentAway(m_result, m_target, QStringLiteral("the update"));
        } else {
            m_result.reason = CliReason::UpdateFailed;
            m_result.error = error.isEmpty() ? QStringLiteral("Firmware update failed") : error.trimmed();
        }
        return false;
    }

    // What Ctrl+C left the device in, and how to finish the job.
    void failInterrupted(const UpdateSession::StopPoint &stop)
    {
        m_result.reason = CliReason::Interrupted;
        if (!stop.TransferBegun) {
            m_result.error = QStringLiteral("Interrupted before the transfer began: nothing was written, the "
                                            "device keeps its firmware.");
            return;
        }
        m_result.error = QStringLiteral("Interrupted after page %1 of %2: the device stays in its boot loader until an "
                                        "update completes. To finish, run mirto-cli update %3 on it again; if no "
                                        "start-token comes, leave out --reset and remove and re-apply the device's "
                                        "power when asked.")
                             .arg(stop.PagesSent)
                             .arg(stop.Pages)
                             .arg(m_request.file);
    }

    // The device restarts with the new firmware: what does it say once it is
    // ready? A device that never says is no success to report, nor is
    // another unit.
    void identifyAfterUpdate(AuditFacts &facts)
    {
        if (!m_conn.IdentifyAfterRestart()) {
            m_result.reason = CliReason::NotIdentified;
            m_result.error = QStringLiteral("The firmware was sent, but the device did not identify itself "
                                            "within %1 s of its restart")
                                 .arg(DeviceConnection::RestartIdentifyMs / 1000);
            if (!facts.serialBefore.isEmpty())
                m_result.error += QStringLiteral(" (serial number %1 before)").arg(facts.serialBefore);
            return;
        }
        m_result.ok = true;
        facts.serialAfter = QString::fromLatin1(m_conn.IdentifiedSerial());
        facts.versionAfter = QString::fromLatin1(m_conn.IdentifiedVersion());
        m_result.data.insert(QStringLiteral("serial"), facts.serialAfter);
        m_result.data.insert(QStringLiteral("version"), facts.versionAfter);
        m_say(QStringLiteral("software version now %1").arg(facts.versionAfter));
        if (DeviceIdentity(facts.serialBefore.toLatin1()).Check(facts.serialAfter.toLatin1())
            == DeviceIdentity::Verdict::Another) {
            m_result.ok = false;
            m_result.reason = CliReason::DifferentDevice;
            m_result.error = QStringLiteral("A different device answered after the update: serial number %1 "
                                            "before, %2 after")
                                 .arg(facts.serialBefore, facts.serialAfter);
        }
    }

    const CliTarget &m_target;
    const CliRequest &m_request;
    const std::function<void(const QString &)> &m_say;
    const std::function<void(quint32, quint32)> &m_progress;
    ToolSettings m_settings;
    CliUser m_user;
    DeviceConnection m_conn;
    QByteArray m_received;
    AuditFacts m_facts; // update: the unit before and after
    CliResult m_result;
};

} // namespace

CliResult RunDeviceJob(const CliTarget &target, const CliRequest &request,
                       const std::function<void(const QString &)> &say,
                       const std::function<void(quint32, quint32)> &progress)
{
    try {
        // What the search by serial number learnt already is not asked twice.
        if (request.command == CliRequest::Command::Identify && target.identified) {
            say(QStringLiteral("serial number %1, software version %2")
                    .arg(target.identified->data.value(QStringLiteral("serial")).toString(),
                         target.identified->data.value(QStringLiteral("version")).toString()));
            return *target.identified;
        }
        DeviceJob job(target, request, say, progress);
        return job.Run();
    } catch (const std::exception &error) {
        CliResult result;
        result.reason = CliReason::Error;
        result.error = QString::fromLocal8Bit(error.what());
        return result;
    }
}
