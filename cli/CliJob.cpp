#include "cli/CliJob.h"

#include "core/config/ConfigFile.h"
#include "core/config/DeviceConfig.h"
#include "core/config/Programming.h"
#include "core/firmware/UpdateSession.h"
#include "core/links/UsbPortDetect.h"
#include "core/DeviceConnection.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTimer>

namespace {

constexpr quint16 UsbVendor = 0x10C4;
constexpr quint16 UsbProduct = 0xEA60;
const char *const UsbSerial = "0001";

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
    void AppendTerminal(const QByteArray &text) override { terminal += text; }
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

// Opens the link as the window's open button does; over the network, waits
// for the outcome of the attempt. Serial and USB identify when asked to.
bool Open(DeviceConnection &conn, CliUser &user, bool identify)
{
    if (conn.Interface() != InterfaceNetwork) {
        conn.OpenConnectionClicked(identify);
        return conn.IsConnected() && (!identify || !conn.IdentifiedSerial().isEmpty());
    }
    QEventLoop loop;
    user.stateChanged = [&] {
        if (conn.IsConnected() || !conn.Trying())
            loop.quit();
    };
    conn.OpenConnectionClicked();
    if (conn.Trying())
        loop.exec();
    user.stateChanged = {};
    if (!conn.IsConnected())
        return false;
    return !identify || conn.Identify();
}

} // namespace

QString CliTarget::Label() const
{
    switch (kind) {
    case Kind::Serial:
        return QStringLiteral("COM%1").arg(port);
    case Kind::Usb:
        return port > 0 ? QStringLiteral("COM%1 (USB)").arg(port) : QStringLiteral("USB");
    case Kind::Network:
        return host + QLatin1Char(':') + QString::number(tcpPort);
    }
    return {};
}

CliResult RunDeviceJob(const CliTarget &target, const CliRequest &request,
                       const std::function<void(const QString &)> &say,
                       const std::function<void(quint32, quint32)> &progress)
{
    CliResult result;
    ToolSettings settings;
    settings.InterfaceType = target.kind == CliTarget::Kind::Network ? InterfaceNetwork
                             : target.kind == CliTarget::Kind::Usb   ? InterfaceUsb
                                                                     : InterfaceSerial;
    CliUser user(target.host, say);
    DeviceConnection conn(settings, user);
    conn.ClientSocket().SetPort(target.tcpPort);
    int port = target.port;
    if (target.kind == CliTarget::Kind::Usb) {
        port = FindUsbPort(UsbVendor, UsbProduct, QString::fromLatin1(UsbSerial));
        if (port < 0) {
            result.error = QStringLiteral("No USB cable of a Mirto found");
            return result;
        }
    }
    conn.VaComm().SetPortNum(port);

    switch (request.command) {
    case CliRequest::Command::Identify: {
        if (!Open(conn, user, true)) {
            result.error = lastTold(user, QStringLiteral("No response from Mirto"));
            break;
        }
        result.ok = true;
        result.data.insert(QStringLiteral("serial"), QString::fromLatin1(conn.IdentifiedSerial()));
        result.data.insert(QStringLiteral("version"), QString::fromLatin1(conn.IdentifiedVersion()));
        say(QStringLiteral("serial number %1, software version %2")
                .arg(QString::fromLatin1(conn.IdentifiedSerial()), QString::fromLatin1(conn.IdentifiedVersion())));
        break;
    }
    case CliRequest::Command::Send: {
        if (!Open(conn, user, false)) {
            result.error = lastTold(user, QStringLiteral("Unable to connect...."));
            break;
        }
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
            user.terminal.clear();
            const bool answered = conn.ExchangeCommand(text.toLatin1() + '\n');
            // The terminal's text, not the exchange's bounded buffer: a long
            // answer is printed whole.
            const QString answer = QString::fromLatin1(user.terminal);
            answers.append(QJsonObject {{QStringLiteral("command"), text}, {QStringLiteral("answer"), answer}});
            for (const QString &line : answer.split(QRegularExpression(QStringLiteral("\r?\n"))))
                if (!line.isEmpty())
                    say(line);
            if (!answered) {
                result.ok = false;
                result.error = lastTold(user, QStringLiteral("No response from Mirto to \"%1\"").arg(text));
                break;
            }
        }
        result.data.insert(QStringLiteral("answers"), answers);
        break;
    }
    case CliRequest::Command::Program: {
        DeviceConfigRecord record;
        ResetConfigRecord(record);
        QString reason;
        if (ReadConfigFile(request.file, record, {}, &reason) != 0) {
            result.error = ConfigFileErrorText(request.file, reason);
            break;
        }
        if (!Open(conn, user, true)) {
            result.error = lastTold(user, QStringLiteral("No response from Mirto"));
            break;
        }
        CliSink sink(say);
        const ProgrammingPlan plan = ProgrammingSteps(record, ChannelsInUse(record));
        const ProgrammingResult outcome = RunProgramming(conn, plan, sink);
        result.data.insert(QStringLiteral("steps"), sink.steps);
        result.ok = outcome == ProgrammingResult::Programmed;
        if (!result.ok)
            result.error = sink.messages.isEmpty()
                               ? (outcome == ProgrammingResult::NoValidMode
                                      ? QStringLiteral("The configuration holds no mode to program")
                                      : lastTold(user, QStringLiteral("Programming failed")))
                               : sink.messages.constLast();
        else
            say(QStringLiteral("Programming OK"));
        break;
    }
    case CliRequest::Command::Update: {
        if (target.kind == CliTarget::Kind::Network) {
            result.error = QStringLiteral("Firmware updates need the serial or USB cable.");
            break;
        }
        if (!Open(conn, user, false)) {
            result.error = lastTold(user, QStringLiteral("The port cannot be opened"));
            break;
        }
        UpdateSession session(conn.Boot(), request.file);
        QEventLoop loop;
        QString error;
        bool success = false;
        QObject::connect(&session, &UpdateSession::Message, [&](const QString &text) {
            if (!text.startsWith(QLatin1String("Sending Page #")))
                say(text.trimmed());
        });
        QObject::connect(&session, &UpdateSession::Status, [&](const QString &text) { say(text); });
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
            result.error = error.isEmpty() ? QStringLiteral("Firmware update failed") : error.trimmed();
            break;
        }
        result.ok = true;
        result.data.insert(QStringLiteral("bytes"), qint64(session.Image().ImageHighAddress) + 1);
        // The device restarts with the new firmware: what does it say now?
        if (conn.Identify()) {
            result.data.insert(QStringLiteral("version"), QString::fromLatin1(conn.IdentifiedVersion()));
            say(QStringLiteral("software version now %1").arg(QString::fromLatin1(conn.IdentifiedVersion())));
        }
        break;
    }
    }
    // The port closes with the connection, without the pause the window
    // keeps for a reopen: nothing here opens it again.
    conn.Shutdown();
    return result;
}
