#include "cli/CliJob.h"

#include "cli/CliFleet.h"

#include "core/config/Programming.h"
#include "core/firmware/UpdateSession.h"
#include "core/links/UsbPortDetect.h"
#include "core/DeviceConnection.h"
#include "core/Identification.h"

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

// Opens the link as the window's open button does; over the network, waits
// for the outcome of the attempt. Serial and USB identify when asked to.
// On failure `result` says why.
bool Open(DeviceConnection &conn, CliUser &user, const CliTarget &target, bool identify, CliResult &result,
          const std::function<void()> &asking = {})
{
    if (conn.Interface() != InterfaceNetwork) {
        conn.OpenConnectionClicked(false);
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

namespace {

CliResult runJob(const CliTarget &target, const CliRequest &request,
                 const std::function<void(const QString &)> &say,
                 const std::function<void(quint32, quint32)> &progress)
{
    if (request.command == CliRequest::Command::Identify && target.identified) {
        say(QStringLiteral("serial number %1, software version %2")
                .arg(target.identified->data.value(QStringLiteral("serial")).toString(),
                     target.identified->data.value(QStringLiteral("version")).toString()));
        return *target.identified;
    }
    CliResult result;
    ToolSettings settings;
    settings.InterfaceType = target.kind == CliTarget::Kind::Network ? InterfaceNetwork
                             : target.kind == CliTarget::Kind::Usb   ? InterfaceUsb
                                                                     : InterfaceSerial;
    CliUser user(target.host, say);
    DeviceConnection conn(settings, user);
    user.heard = request.heard;
    if (request.watch)
        request.watch(&conn);
    struct Unwatch {
        const CliRequest &request;
        ~Unwatch()
        {
            if (request.watch)
                request.watch(nullptr);
        }
    } unwatch {request};
    conn.ClientSocket().SetPort(target.tcpPort);
    int port = target.port;
    if (target.kind == CliTarget::Kind::Usb) {
        port = FindMirtoUsbPort();
        if (port < 0) {
            result.reason = CliReason::CannotOpen;
            result.error = QStringLiteral("No USB cable of a Mirto found");
            return result;
        }
    }
    conn.VaComm().SetPortNum(port);
    if (!target.path.isEmpty())
        conn.VaComm().SetDeviceName(target.path);
    // What the device sent, byte for byte, whichever link brought it.
    QByteArray received;
    QObject::connect(&conn, &DeviceConnection::Received, [&received](const QByteArray &bytes) { received += bytes; });

    switch (request.command) {
    case CliRequest::Command::Identify: {
        if (!Open(conn, user, target, true, result, request.asking))
            break;
        const QByteArray serial = conn.IdentifiedSerial();
        result.data.insert(QStringLiteral("version"), QString::fromLatin1(conn.IdentifiedVersion()));
        if (NoRealSerialNumber(serial)) {
            result.reason = CliReason::NotIdentified;
            result.error = QStringLiteral("The device's answer to \"snum\" holds no serial number");
            break;
        }
        result.ok = true;
        result.data.insert(QStringLiteral("serial"), QString::fromLatin1(serial));
        say(QStringLiteral("serial number %1, software version %2")
                .arg(QString::fromLatin1(serial), QString::fromLatin1(conn.IdentifiedVersion())));
        break;
    }
    case CliRequest::Command::Send: {
        if (!Open(conn, user, target, false, result))
            break;
        QJsonArray answers;
        if (!request.commandFile.isEmpty()) {
            CommandFileRun run;
            run.Progress = [&](int, int, const CommandFileLine &) { user.terminal.clear(); };
            run.Answered = [&](const CommandFileLine &line, bool) {
                const QString answer = QString::fromLatin1(user.terminal);
                answers.append(QJsonObject {{QStringLiteral("line"), line.LineNumber},
                                            {QStringLiteral("command"), QString::fromLatin1(line.Text)},
                                            {QStringLiteral("answer"), answer}});
                for (const QString &row : answer.split(QRegularExpression(QStringLiteral("\r?\n"))))
                    if (!row.isEmpty())
                        say(row);
            };
            const CommandFileRun::Outcome outcome = run.Run(conn, request.commandFile);
            result.ok = outcome.Ok();
            result.data.insert(QStringLiteral("answers"), answers);
            result.data.insert(QStringLiteral("sent"), outcome.Sent);
            result.data.insert(QStringLiteral("withoutPrompt"), outcome.WithoutPrompt);
            if (result.ok)
                say(outcome.Summary());
            else
                result.error = outcome.Ending == CommandFileRun::End::Refused
                                   ? lastTold(user, outcome.Summary())
                                   : outcome.Summary();
            break;
        }
        result.ok = true;
        for (const QString &text : request.texts) {
            received.clear();
            const bool answered = conn.ExchangeCommand(text.toLatin1() + '\n');
            // Everything the device sent, not the exchange's bounded buffer:
            // a long answer is printed whole.
            const QString answer = QString::fromLatin1(received);
            answers.append(QJsonObject {{QStringLiteral("command"), text}, {QStringLiteral("answer"), answer}});
            for (const QString &line : answer.split(QRegularExpression(QStringLiteral("\r?\n"))))
                if (!line.isEmpty())
                    say(line);
            if (!answered) {
                result.ok = false;
                if (wentAway(conn)) {
                    failWentAway(result, target, QStringLiteral("\"%1\"").arg(text));
                } else {
                    result.reason = CliReason::NoResponse;
                    result.error = QStringLiteral("No response from Mirto to \"%1\"").arg(text);
                }
                break;
            }
        }
        result.data.insert(QStringLiteral("answers"), answers);
        break;
    }
    case CliRequest::Command::Program: {
        if (!request.plan) {
            result.reason = CliReason::Error;
            result.error = QStringLiteral("No configuration to program");
            break;
        }
        const ProgrammingPlan &plan = *request.plan;
        if (!Open(conn, user, target, true, result))
            break;
        CliSink sink(say);
        AuditFacts facts {QString::fromLatin1(conn.IdentifiedSerial()), QString::fromLatin1(conn.IdentifiedVersion()), {}, {}};
        const ProgrammingResult outcome = RunProgramming(conn, plan, sink);
        result.data.insert(QStringLiteral("steps"), sink.steps);
        result.ok = outcome == ProgrammingResult::Programmed;
        if (result.ok) {
            say(QStringLiteral("Programming OK"));
        } else if (wentAway(conn)) {
            failWentAway(result, target, QStringLiteral("programming"));
        } else {
            result.reason = CliReason::Refused;
            result.error = sink.messages.isEmpty()
                               ? (outcome == ProgrammingResult::NoValidMode
                                      ? QStringLiteral("The configuration holds no mode to program")
                                      : lastTold(user, QStringLiteral("Programming failed")))
                               : sink.messages.constLast();
        }
        // Programming may set a new serial number: the device says which.
        facts.serialAfter = QString::fromLatin1(conn.IdentifiedSerial());
        facts.versionAfter = QString::fromLatin1(conn.IdentifiedVersion());
        AuditDeviceJob(target, request, facts, result);
        break;
    }
    case CliRequest::Command::Update: {
        if (target.kind == CliTarget::Kind::Network) {
            result.reason = CliReason::Error;
            result.error = QStringLiteral("Firmware updates need the serial or USB cable.");
            break;
        }
        if (!Open(conn, user, target, false, result))
            break;
        // Who is updated: the same unit must answer afterwards. A device
        // whose firmware is broken (already in its boot loader) gives none.
        AuditFacts facts;
        // An answer without a serial number pins nothing.
        if (conn.Identify() && !NoRealSerialNumber(conn.IdentifiedSerial())) {
            facts.serialBefore = QString::fromLatin1(conn.IdentifiedSerial());
            facts.versionBefore = QString::fromLatin1(conn.IdentifiedVersion());
            result.data.insert(QStringLiteral("serial_before"), facts.serialBefore);
            result.data.insert(QStringLiteral("version_before"), facts.versionBefore);
        }
        UpdateSession session(conn.Boot(), request.file);
        QEventLoop loop;
        const InterruptScope interruptible(&session, [&session] { session.Stop(); });
        QString error;
        bool success = false;
        QObject::connect(&session, &UpdateSession::Message, [&](const QString &text) {
            if (!text.startsWith(QLatin1String("Sending Page #")))
                say(text.trimmed());
        });
        QObject::connect(&session, &UpdateSession::Status, [&](const QString &text) { say(text); });
        QObject::connect(&session, &UpdateSession::Problem, [&](const QString &text) { say(text.trimmed()); });
        QObject::connect(&session, &UpdateSession::PowerCycleNeeded, [&] {
            say(QStringLiteral("Please remove the Powerplug from your Mirto and plug it in again"));
        });
        if (progress)
            QObject::connect(&session, &UpdateSession::Progress, progress);
        QObject::connect(&session, &UpdateSession::Finished, [&](bool ok, const QString &why) {
            success = ok;
            error = why;
            loop.quit();
        });
        if (session.Start(request.reset, request.powerCycleWaitMs))
            loop.exec();
        if (!success) {
            if (conn.LinkLost()) {
                failWentAway(result, target, QStringLiteral("the update"));
            } else {
                result.reason = CliReason::UpdateFailed;
                result.error = error.isEmpty() ? QStringLiteral("Firmware update failed") : error.trimmed();
            }
            if (Interrupted())
                result.error = QStringLiteral("Interrupted: the update was aborted (%1)").arg(result.error);
            AuditDeviceJob(target, request, facts, result);
            break;
        }
        result.data.insert(QStringLiteral("bytes"), qint64(session.Image().ImageHighAddress) + 1);
        // The device restarts with the new firmware: what does it say once
        // it is ready? A device that never says is no success to report.
        if (!conn.IdentifyAfterRestart()) {
            result.reason = CliReason::NotIdentified;
            result.error = QStringLiteral("The firmware was sent, but the device did not identify itself "
                                          "within %1 s of its restart")
                               .arg(DeviceConnection::RestartIdentifyMs / 1000);
            if (!facts.serialBefore.isEmpty())
                result.error += QStringLiteral(" (serial number %1 before)").arg(facts.serialBefore);
            AuditDeviceJob(target, request, facts, result);
            break;
        }
        result.ok = true;
        facts.serialAfter = QString::fromLatin1(conn.IdentifiedSerial());
        facts.versionAfter = QString::fromLatin1(conn.IdentifiedVersion());
        result.data.insert(QStringLiteral("serial"), facts.serialAfter);
        result.data.insert(QStringLiteral("version"), facts.versionAfter);
        say(QStringLiteral("software version now %1").arg(facts.versionAfter));
        if (!facts.serialBefore.isEmpty() && facts.serialAfter != facts.serialBefore) {
            result.ok = false;
            result.reason = CliReason::Refused;
            result.error = QStringLiteral("A different device answered after the update: serial number %1 "
                                          "before, %2 after")
                               .arg(facts.serialBefore, facts.serialAfter);
        }
        AuditDeviceJob(target, request, facts, result);
        break;
    }
    }
    // The port closes with the connection, without the pause the window
    // keeps for a reopen: nothing here opens it again.
    conn.Shutdown();
    return result;
}

} // namespace

CliResult RunDeviceJob(const CliTarget &target, const CliRequest &request,
                       const std::function<void(const QString &)> &say,
                       const std::function<void(quint32, quint32)> &progress)
{
    try {
        return runJob(target, request, say, progress);
    } catch (const std::exception &error) {
        CliResult result;
        result.reason = CliReason::Error;
        result.error = QString::fromLocal8Bit(error.what());
        return result;
    }
}
