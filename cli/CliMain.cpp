#include "cli/CliMain.h"

#include "cli/CliJob.h"
#include "core/config/ConfigFile.h"
#include "core/config/DeviceConfig.h"
#include "core/firmware/HexImage.h"
#include "core/links/ComPorts.h"
#include "core/links/UsbPortDetect.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>

#include <cstdio>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex outputLock;

void writeLine(FILE *stream, const QString &line)
{
    const std::lock_guard lock(outputLock);
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

const char *const HelpText =
    "Configures, queries and re-flashes Mirto devices from scripts.\n"
    "\n"
    "Commands:\n"
    "  ports                    the numbered ports (COMn -> device), the USB cable marked\n"
    "  identify                 serial number and software version\n"
    "  send TEXT...             sends each command, waits for its prompt, prints the answers\n"
    "  send --file FILE         sends FILE's command lines the same way, one at a time; lines\n"
    "                           starting with '#' and empty lines are skipped, and a line that\n"
    "                           gets no prompt ends the run\n"
    "  program FILE.cfg         programs a configuration file as the window's Program does\n"
    "  update FILE.hex          updates the firmware through the boot loader (serial or USB);\n"
    "                           with --reset the device is reset into it, otherwise power-cycle\n"
    "                           the device when asked\n"
    "\n"
    "Several --port or --host options run the same job on every device at once, each on its\n"
    "own link, and end with one result line per device.\n"
    "\n"
    "Exit status:\n"
    "  0  every device did what was asked\n"
    "  1  at least one device failed (no answer, link lost, refused)\n"
    "  2  the command line is wrong\n"
    "  3  the configuration, HEX or command file cannot be used; nothing was sent";

bool parseHost(const QString &text, CliTarget &target)
{
    static const QRegularExpression form(QStringLiteral("^([^:\\s]+)(?::(\\d{1,5}))?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return false;
    target.kind = CliTarget::Kind::Network;
    target.host = match.captured(1);
    if (match.hasCaptured(2)) {
        const int port = match.captured(2).toInt();
        if (port < 1 || port > 65535)
            return false;
        target.tcpPort = quint16(port);
    }
    return true;
}

bool parsePort(const QString &text, CliTarget &target)
{
    static const QRegularExpression form(QStringLiteral("^(?:COM)?(\\d{1,3})$"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch() || match.captured(1).toInt() < 1)
        return false;
    target.kind = CliTarget::Kind::Serial;
    target.port = match.captured(1).toInt();
    return true;
}

int usage(const QString &problem)
{
    writeLine(stderr, QStringLiteral("mirto-cli: ") + problem);
    writeLine(stderr, QStringLiteral("Try 'mirto-cli --help'."));
    return CliBadUsage;
}

int listPorts(bool json)
{
    QStringList names;
    EnumComPorts(names);
    const int usb = FindUsbPort(0x10C4, 0xEA60, QStringLiteral("0001"));
    for (const QString &name : names) {
        const int number = PortNumberOfEntry(name);
        const QString target = ComPortTarget(number);
        if (json) {
            writeLine(stdout, QString::fromUtf8(QJsonDocument(QJsonObject {
                                                                  {QStringLiteral("port"), name},
                                                                  {QStringLiteral("device"), target},
                                                                  {QStringLiteral("usb"), number == usb},
                                                              })
                                                    .toJson(QJsonDocument::Compact)));
        } else {
            writeLine(stdout, name + QStringLiteral(" -> ") + target
                                  + (number == usb ? QStringLiteral("  (USB cable)") : QString()));
        }
    }
    return CliSuccess;
}

// A bar that redraws itself on a terminal; plain lines at every tenth elsewhere.
class ProgressShow {
public:
    explicit ProgressShow(bool onTerminal) : m_terminal(onTerminal) {}
    ~ProgressShow()
    {
        if (m_drawn)
            std::fputc('\n', stdout);
    }
    void Show(quint32 value, quint32 maximum)
    {
        const quint32 total = qMax<quint32>(1, maximum + 1);
        const quint32 done = qMin(total, value + 1);
        const std::lock_guard lock(outputLock);
        if (m_terminal) {
            const int width = 40;
            const int filled = int(qint64(width) * done / total);
            std::fprintf(stdout, "\r[%s%s] page %u of %u", QByteArray(filled, '#').constData(),
                         QByteArray(width - filled, '.').constData(), done, total);
            m_drawn = true;
        } else {
            const quint32 tenth = done * 10 / total;
            if (tenth == m_lastTenth)
                return;
            m_lastTenth = tenth;
            std::fprintf(stdout, "page %u of %u\n", done, total);
        }
        std::fflush(stdout);
    }
    // A line of text must not run into the bar.
    void Break()
    {
        if (m_drawn) {
            std::fputc('\n', stdout);
            m_drawn = false;
        }
    }

private:
    bool m_terminal;
    bool m_drawn = false;
    quint32 m_lastTenth = 0;
};

} // namespace

int RunCli(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(HelpText));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("A device on serial port COMn (repeatable)."), QStringLiteral("COMn")},
        {QStringLiteral("usb"), QStringLiteral("The device on the USB cable.")},
        {QStringLiteral("host"),
         QStringLiteral("A device on the network, TCP port 9000 unless given (repeatable; identify, send "
                        "and program only)."),
         QStringLiteral("ADDRESS[:PORT]")},
        {QStringLiteral("json"), QStringLiteral("One JSON object per device (JSON Lines) instead of text.")},
        {QStringLiteral("reset"), QStringLiteral("update: enter the boot loader by sending \"reset\" twice.")},
        {QStringLiteral("file"), QStringLiteral("send: the commands are the lines of FILE."), QStringLiteral("FILE")},
        {QStringLiteral("wait"),
         QStringLiteral("update without --reset: seconds to wait for the power cycle (default 60)."),
         QStringLiteral("SECONDS"), QStringLiteral("60")},
    });
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ports, identify, send, program or update"));
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        writeLine(stdout, parser.helpText());
        return CliSuccess;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        writeLine(stdout, QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return CliSuccess;
    }
    const bool json = parser.isSet(QStringLiteral("json"));
    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString command = words.takeFirst();
    if (command == QLatin1String("ports"))
        return words.isEmpty() ? listPorts(json) : usage(QStringLiteral("ports takes no arguments"));

    CliRequest request;
    if (command == QLatin1String("identify")) {
        request.command = CliRequest::Command::Identify;
        if (!words.isEmpty())
            return usage(QStringLiteral("identify takes no arguments"));
    } else if (command == QLatin1String("send")) {
        request.command = CliRequest::Command::Send;
        if (parser.isSet(QStringLiteral("file"))) {
            if (!words.isEmpty())
                return usage(QStringLiteral("send takes commands or --file, not both"));
            const QString path = parser.value(QStringLiteral("file"));
            const QString problem = ReadCommandFile(path, request.commandFile);
            if (!problem.isEmpty()) {
                writeLine(stderr, QStringLiteral("mirto-cli: ") + path + QStringLiteral(": ") + problem);
                return CliBadFile;
            }
        } else if (words.isEmpty()) {
            return usage(QStringLiteral("send wants at least one command or --file FILE"));
        }
        for (const QString &text : words) {
            // One command is one line; the device must not see two.
            if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')) || text.toLatin1().size() > 1022)
                return usage(QStringLiteral("a command must be one line of at most 1022 characters"));
        }
        request.texts = words;
    } else if (command == QLatin1String("program") || command == QLatin1String("update")) {
        request.command = command == QLatin1String("program") ? CliRequest::Command::Program : CliRequest::Command::Update;
        if (words.size() != 1)
            return usage(command + QStringLiteral(" wants one file"));
        request.file = words.constFirst();
    } else {
        return usage(QStringLiteral("unknown command '%1'").arg(command));
    }
    if (parser.isSet(QStringLiteral("file")) && request.command != CliRequest::Command::Send)
        return usage(QStringLiteral("--file goes with send only"));
    request.reset = parser.isSet(QStringLiteral("reset"));
    bool waitOk = false;
    const int waitSeconds = parser.value(QStringLiteral("wait")).toInt(&waitOk);
    if (!waitOk || waitSeconds < 1 || waitSeconds > 3600)
        return usage(QStringLiteral("--wait takes 1 to 3600 seconds"));
    request.powerCycleWaitMs = waitSeconds * 1000;

    QList<CliTarget> targets;
    for (const QString &text : parser.values(QStringLiteral("port"))) {
        CliTarget target;
        if (!parsePort(text, target))
            return usage(QStringLiteral("'%1' is no port: give COMn").arg(text));
        targets << target;
    }
    for (const QString &text : parser.values(QStringLiteral("host"))) {
        CliTarget target;
        if (!parseHost(text, target))
            return usage(QStringLiteral("'%1' is no address: give ADDRESS or ADDRESS:PORT").arg(text));
        targets << target;
    }
    if (parser.isSet(QStringLiteral("usb"))) {
        CliTarget target;
        target.kind = CliTarget::Kind::Usb;
        targets << target;
    }
    if (targets.isEmpty())
        return usage(QStringLiteral("name a device with --port, --usb or --host"));
    if (request.command == CliRequest::Command::Update) {
        for (const CliTarget &target : targets) {
            if (target.kind == CliTarget::Kind::Network)
                return usage(QStringLiteral("Firmware updates need the serial or USB cable; --host cannot be updated."));
        }
    }

    // The file is checked once, before any device is touched.
    if (request.command == CliRequest::Command::Program) {
        DeviceConfigRecord record;
        ResetConfigRecord(record);
        QString reason;
        if (ReadConfigFile(request.file, record, {}, &reason) != 0) {
            writeLine(stderr, QStringLiteral("mirto-cli: ") + ConfigFileErrorText(request.file, reason).simplified());
            return CliBadFile;
        }
    } else if (request.command == CliRequest::Command::Update) {
        HexImage image;
        const HexLoadResult load = LoadHexFile(request.file, image);
        if (load.Result != 0) {
            writeLine(stderr, QStringLiteral("mirto-cli: ") + request.file + QStringLiteral(": ")
                                  + (load.Result == -2 ? QStringLiteral("Flash File too large")
                                                       : QStringLiteral("Error in Flash File"))
                                  + (load.Messages.isEmpty() ? QString() : QStringLiteral(" (") + load.Messages.constLast() + QLatin1Char(')')));
            return CliBadFile;
        }
    }

    const bool several = targets.size() > 1;
    const bool barOnTerminal = !json && !several && ::isatty(STDOUT_FILENO);
    ProgressShow bar(barOnTerminal);
    QList<CliResult> results(targets.size());
    const auto run = [&](qsizetype i) {
        const QString label = targets.at(i).Label();
        const auto say = [&, label](const QString &line) {
            if (json)
                return;
            if (!several)
                bar.Break();
            writeLine(stdout, several ? label + QStringLiteral(": ") + line : line);
        };
        std::function<void(quint32, quint32)> progress;
        if (!json && !several)
            progress = [&bar](quint32 value, quint32 maximum) { bar.Show(value, maximum); };
        results[i] = RunDeviceJob(targets.at(i), request, say, progress);
    };
    if (!several) {
        run(0);
    } else {
        // Each device on a thread of its own, with its own link and event
        // loop: a slow device holds up nobody else.
        std::vector<std::unique_ptr<QThread>> threads;
        for (qsizetype i = 0; i < targets.size(); ++i) {
            threads.emplace_back(QThread::create(run, i));
            threads.back()->start();
        }
        for (auto &thread : threads)
            thread->wait();
    }
    bar.Break();

    bool allOk = true;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const CliResult &result = results.at(i);
        allOk = allOk && result.ok;
        const QString label = targets.at(i).Label();
        if (json) {
            QJsonObject line = result.data;
            line.insert(QStringLiteral("device"), label);
            line.insert(QStringLiteral("ok"), result.ok);
            if (!result.ok)
                line.insert(QStringLiteral("error"), result.error);
            writeLine(stdout, QString::fromUtf8(QJsonDocument(line).toJson(QJsonDocument::Compact)));
        } else if (result.ok) {
            if (several)
                writeLine(stdout, label + QStringLiteral(": OK"));
        } else {
            writeLine(stderr, label + QStringLiteral(": FAILED: ") + result.error.simplified());
        }
    }
    return allOk ? CliSuccess : CliDeviceFailed;
}
