#include "cli/CliMain.h"

#include "cli/CliFleet.h"
#include "cli/CliJob.h"
#include "cli/CliPlan.h"
#include "core/JsonLines.h"
#include "core/config/ConfigFile.h"
#include "core/config/DeviceConfig.h"
#include "core/config/Programming.h"
#include "core/firmware/HexImage.h"
#include "core/links/ComPorts.h"
#include "core/links/SerialPortError.h"
#include "core/links/UsbPortDetect.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <memory>
#include <mutex>
#include <sys/stat.h>
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

// A message of several lines keeps them, each with `prefix`; the blank lines
// that part a message box's paragraphs are dropped.
QStringList messageLines(const QString &text)
{
    QStringList lines;
    for (const QString &line : text.split(QRegularExpression(QStringLiteral("\r?\n"))))
        if (!line.trimmed().isEmpty())
            lines << line.trimmed();
    return lines;
}

void writeMessage(FILE *stream, const QString &prefix, const QString &text)
{
    for (const QString &line : messageLines(text))
        writeLine(stream, prefix + line);
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
    "own link, show one progress line per device and end with one result line per device.\n"
    "Naming the same device twice is bad usage. With --json, an update also writes progress\n"
    "objects {\"device\", \"event\": \"progress\", \"page\", \"pages\"} at every tenth, and a\n"
    "failed device's object has \"error\" (what happened) and \"reason\": no-response,\n"
    "went-away, cannot-open, not-identified, refused, update-failed or error.\n"
    "\n"
    "send takes printable single-byte (Latin-1) characters only, as the window's command line.\n"
    "It prints each answer as the device sent it, the same over every link.\n"
    "\n"
    "Production lines: --ports-from and --hosts-from read the devices from a list, --serial\n"
    "finds a device by its serial number, --jobs and --max-failures pace the run, --journal\n"
    "records each device's result as it ends and --resume skips those already done. An update\n"
    "identifies the device before and after: another serial number afterwards is a failure.\n"
    "Every program and update is recorded in $XDG_STATE_HOME/mirto/audit.jsonl\n"
    "(~/.local/state/mirto/audit.jsonl).\n"
    "\n"
    "--plan prints what the run would do, device by device and step by step, and which devices\n"
    "--resume would skip, and opens no port. Every --json object and journal line carries\n"
    "\"schema\": 1; mirto-cli.schema.json in the package's documentation folder describes them.\n"
    "\n"
    "Exit status:\n"
    "  0  every device did what was asked (--plan: the run can go)\n"
    "  1  at least one device failed (no answer, went away, refused, not identified, not found,\n"
    "     update failed, not started)\n"
    "  2  bad usage or input: the command line is wrong (also: a device named twice, text send\n"
    "     cannot send; with --plan, any reason the run cannot go); nothing was sent\n"
    "  3  the configuration, HEX or command file cannot be used; nothing was sent\n"
    "  4  the tool failed on its own (a ports folder it cannot make); no device's result is known\n"
    "  130  stopped with Ctrl+C: no device started since, updates aborted";

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

// A device path (/dev/ttyUSB0, /dev/serial/by-id/...) is anything with a
// slash; what is there must be a character device. One that is not there
// (yet) fails as a missing COMn does, when it is opened.
bool parsePort(const QString &text, CliTarget &target, QString &problem)
{
    if (text.contains(QLatin1Char('/'))) {
        struct stat status {};
        if (::stat(QFile::encodeName(text).constData(), &status) == 0 && !S_ISCHR(status.st_mode)) {
            problem = QStringLiteral("'%1' is no character device").arg(text);
            return false;
        }
        target.kind = CliTarget::Kind::Serial;
        target.path = text;
        return true;
    }
    problem = QStringLiteral("'%1' is no port: give COMn or a device path").arg(text);
    // A bare number is a COM number too.
    const bool bare = !text.isEmpty() && text.at(0).isDigit();
    const int number = PortNumberOfEntry(bare ? QStringLiteral("COM") + text : text);
    if (number < 1)
        return false;
    target.kind = CliTarget::Kind::Serial;
    target.port = number;
    return true;
}

// What tells two names of one device apart from two devices: the device
// file behind a port, the address of a host.
QString deviceKey(const CliTarget &target)
{
    switch (target.kind) {
    case CliTarget::Kind::Serial: {
        const QString file = target.path.isEmpty() ? ComPortTarget(target.port) : target.path;
        const QString canonical = file.isEmpty() ? QString() : QFileInfo(file).canonicalFilePath();
        if (!canonical.isEmpty())
            return canonical;
        return target.path.isEmpty() ? QStringLiteral("COM%1").arg(target.port) : QFileInfo(target.path).absoluteFilePath();
    }
    case CliTarget::Kind::Usb:
        return QStringLiteral("usb");
    case CliTarget::Kind::Network:
        return QStringLiteral("tcp:") + target.host.toLower() + QLatin1Char(':') + QString::number(target.tcpPort);
    }
    return {};
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
    const int usb = FindMirtoUsbPort();
    for (const QString &name : names) {
        const int number = PortNumberOfEntry(name);
        const QString target = ComPortTarget(number);
        if (json) {
            writeLine(stdout, QString::fromUtf8(JsonLine({
                                  {QStringLiteral("port"), name},
                                  {QStringLiteral("device"), target},
                                  {QStringLiteral("usb"), number == usb},
                              })));
        } else {
            writeLine(stdout, name + QStringLiteral(" -> ") + target
                                  + (number == usb ? QStringLiteral("  (USB cable)") : QString()));
        }
    }
    return CliSuccess;
}

// One progress line per device. On a terminal the lines are a block at the
// bottom, redrawn in place, and a line of text goes above the block; elsewhere
// a plain line per device at every tenth; with --json an object per device at
// every tenth. Each device's line is shown by the thread that runs it.
class ProgressBoard {
public:
    enum class Mode { Terminal, Plain, Json };
    ProgressBoard(Mode mode, QStringList labels)
        : m_mode(mode), m_labels(std::move(labels)), m_rows(m_labels.size()), m_lastTenth(m_labels.size(), 0)
    {
    }

    // Page `value` of `maximum` (both counted from 0) of device `index`.
    void Show(qsizetype index, quint32 value, quint32 maximum)
    {
        const quint32 total = qMax<quint32>(1, maximum + 1);
        const quint32 done = qMin(total, value + 1);
        const std::lock_guard lock(outputLock);
        if (m_mode == Mode::Terminal) {
            const int width = 40;
            const int filled = int(qint64(width) * done / total);
            m_rows[index] = prefix(index) + QLatin1Char('[') + QString(filled, QLatin1Char('#'))
                            + QString(width - filled, QLatin1Char('.'))
                            + QStringLiteral("] page %1 of %2").arg(done).arg(total);
            eraseBlock();
            drawBlock();
            std::fflush(stdout);
            return;
        }
        const quint32 tenth = done * 10 / total;
        if (tenth == m_lastTenth[index])
            return;
        m_lastTenth[index] = tenth;
        QString line;
        if (m_mode == Mode::Json)
            line = QString::fromUtf8(JsonLine({
                {QStringLiteral("device"), m_labels.at(index)},
                {QStringLiteral("event"), QStringLiteral("progress")},
                {QStringLiteral("page"), qint64(done)},
                {QStringLiteral("pages"), qint64(total)},
            }));
        else
            line = prefix(index) + QStringLiteral("page %1 of %2").arg(done).arg(total);
        std::fputs(line.toLocal8Bit().constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    // Text from device `index`, above the progress lines.
    void Say(qsizetype index, const QString &line)
    {
        if (m_mode == Mode::Json)
            return;
        const std::lock_guard lock(outputLock);
        eraseBlock();
        // A message of several lines stays one, each line with its device.
        static const QRegularExpression lineEnd(QStringLiteral("\\r?\\n"));
        for (const QString &part : line.split(lineEnd, Qt::SkipEmptyParts)) {
            std::fputs((prefix(index) + part).toLocal8Bit().constData(), stdout);
            std::fputc('\n', stdout);
        }
        drawBlock();
        std::fflush(stdout);
    }

private:
    QString prefix(qsizetype index) const
    {
        return m_labels.size() > 1 ? m_labels.at(index) + QStringLiteral(": ") : QString();
    }
    void eraseBlock()
    {
        if (m_drawn > 0)
            std::fprintf(stdout, "\033[%dA\r\033[J", m_drawn);
        m_drawn = 0;
    }
    void drawBlock()
    {
        if (m_mode != Mode::Terminal)
            return;
        bool started = false;
        for (const QString &row : std::as_const(m_rows))
            started = started || !row.isEmpty();
        if (!started)
            return;
        for (qsizetype i = 0; i < m_rows.size(); ++i) {
            const QString row = m_rows.at(i).isEmpty() ? prefix(i) + QStringLiteral("waiting") : m_rows.at(i);
            std::fputs(row.toLocal8Bit().constData(), stdout);
            std::fputc('\n', stdout);
            ++m_drawn;
        }
    }

    Mode m_mode;
    QStringList m_labels;
    QStringList m_rows;
    QList<quint32> m_lastTenth;
    int m_drawn = 0;
};

} // namespace

int RunCli(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(HelpText));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("port"),
         QStringLiteral("A device on serial port COMn, or at a device path such as /dev/ttyUSB0 or "
                        "/dev/serial/by-id/... (repeatable)."),
         QStringLiteral("COMn|PATH")},
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
        {QStringLiteral("plan"),
         QStringLiteral("Print what the run would do, device by device and step by step, and which devices "
                        "--resume skips; open no port. Exit status 0 when it can run, 2 when not.")},
    });
    AddFleetOptions(parser);
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
    // A plan that cannot run is bad input, whichever file is at fault.
    const int fileRefused = parser.isSet(QStringLiteral("plan")) ? CliBadUsage : CliBadFile;
    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString command = words.takeFirst();
    if (command == QLatin1String("ports"))
    {
        if (!words.isEmpty())
            return usage(QStringLiteral("ports takes no arguments"));
        try {
            return listPorts(json);
        } catch (const SerialPortError &error) {
            writeMessage(stderr, QStringLiteral("mirto-cli: "),
                         QStringLiteral("The ports folder %1 cannot be made or read: %2").arg(ComPortFolder(), error.message()));
            return CliToolError;
        }
    }

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
                return fileRefused;
            }
        } else if (words.isEmpty()) {
            return usage(QStringLiteral("send wants at least one command or --file FILE"));
        }
        for (const QString &text : words) {
            // The device takes single bytes; a control character would split
            // the line or do what the user did not type. Nothing is changed
            // on the way: what cannot go out as typed does not go out.
            for (const QChar c : text) {
                if (c.unicode() > 0xFF || !c.isPrint())
                    return usage(QStringLiteral("'%1' holds a character the device cannot take (U+%2): a command "
                                                "is printable single-byte (Latin-1) text")
                                     .arg(text, QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0'))));
            }
            if (text.size() > 1022)
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
    FleetOptions fleet;
    QString fleetProblem;
    QStringList portTexts = parser.values(QStringLiteral("port"));
    QStringList hostTexts = parser.values(QStringLiteral("host"));
    if (!ReadFleetOptions(parser, fleet, fleetProblem)
        || !ReadListFile(parser.value(QStringLiteral("ports-from")), portTexts, fleetProblem)
        || !ReadListFile(parser.value(QStringLiteral("hosts-from")), hostTexts, fleetProblem))
        return usage(fleetProblem);

    QList<CliTarget> targets;
    for (const QString &text : std::as_const(portTexts)) {
        CliTarget target;
        QString problem;
        if (!parsePort(text, target, problem))
            return usage(problem);
        targets << target;
    }
    for (const QString &text : std::as_const(hostTexts)) {
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
    if (targets.isEmpty() && fleet.serials.isEmpty())
        return usage(QStringLiteral("name a device with --port, --usb, --host or --serial"));
    // Two jobs on one device would fight over its link.
    for (qsizetype i = 0; i < targets.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (deviceKey(targets.at(i)) == deviceKey(targets.at(j)))
                return usage(QStringLiteral("%1 and %2 name the same device").arg(targets.at(j).Label(), targets.at(i).Label()));
        }
    }
    if (request.command == CliRequest::Command::Update) {
        for (const CliTarget &target : targets) {
            if (target.kind == CliTarget::Kind::Network)
                return usage(QStringLiteral("Firmware updates need the serial or USB cable; --host cannot be updated."));
        }
    }

    // The file is read and checked once, before any device is touched.
    HexImage image;
    if (request.command == CliRequest::Command::Program) {
        DeviceConfigRecord record;
        ResetConfigRecord(record);
        QString reason;
        if (ReadConfigFile(request.file, record, {}, &reason) != 0) {
            writeMessage(stderr, QStringLiteral("mirto-cli: "), ConfigFileErrorText(request.file, reason));
            return fileRefused;
        }
        // A file may hold a value the device cannot take; it is refused
        // here, before any device hears of it.
        const ProgrammingPlan plan = ProgrammingSteps(record, ChannelsInUse(record));
        if (plan.outcome == ProgrammingPlan::Outcome::ValueRefused) {
            writeLine(stderr, QStringLiteral("mirto-cli: ") + request.file + QStringLiteral(": ") + plan.Refusal);
            return fileRefused;
        }
        request.plan = std::make_shared<const ProgrammingPlan>(plan);
    } else if (request.command == CliRequest::Command::Update) {
        const HexLoadResult load = LoadHexFile(request.file, image);
        if (load.Result != 0) {
            writeLine(stderr, QStringLiteral("mirto-cli: ") + request.file + QStringLiteral(": ")
                                  + (load.Result == -2 ? QStringLiteral("Flash File too large")
                                                       : QStringLiteral("Error in Flash File"))
                                  + (load.Messages.isEmpty() ? QString() : QStringLiteral(" (") + load.Messages.constLast() + QLatin1Char(')')));
            return fileRefused;
        }
    }

    if (parser.isSet(QStringLiteral("plan")))
        return PrintRunPlan(request, targets, fleet, request.command == CliRequest::Command::Update ? &image : nullptr, json);

    InstallInterruptHandler();
    QList<FleetDevice> devices;
    for (const CliTarget &target : std::as_const(targets))
        devices << FleetDevice {target, target.Label(), true, {}, {}};
    devices << FindDevicesBySerial(fleet.serials);
    targets.clear();
    for (const FleetDevice &device : std::as_const(devices))
        targets << device.target;

    const bool several = targets.size() > 1;
    QStringList labels;
    for (const CliTarget &target : std::as_const(targets))
        labels << target.Label();
    ProgressBoard board(json                    ? ProgressBoard::Mode::Json
                        : ::isatty(STDOUT_FILENO) ? ProgressBoard::Mode::Terminal
                                                  : ProgressBoard::Mode::Plain,
                        labels);
    QList<CliResult> results(targets.size());
    const auto run = [&](qsizetype i) {
        results[i] = RunDeviceJob(
            targets.at(i), request, [&board, i](const QString &line) { board.Say(i, line); },
            [&board, i](quint32 value, quint32 maximum) { board.Show(i, value, maximum); });
    };
    // Each device on a thread of its own, with its own link and event loop:
    // a slow device holds up nobody else.
    results = RunFleet(devices, request, fleet, [&](qsizetype i) {
        run(i);
        return results.at(i);
    });

    bool allOk = true;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const CliResult &result = results.at(i);
        allOk = allOk && result.ok;
        const QString &label = labels.at(i);
        if (json) {
            QJsonObject line = result.data;
            line.insert(QStringLiteral("device"), label);
            line.insert(QStringLiteral("ok"), result.ok);
            if (!result.ok) {
                line.insert(QStringLiteral("reason"), result.reason);
                line.insert(QStringLiteral("error"), messageLines(result.error).join(QLatin1Char('\n')));
            }
            writeLine(stdout, QString::fromUtf8(JsonLine(line)));
        } else if (result.ok) {
            if (several)
                writeLine(stdout, label + QStringLiteral(": OK"));
        } else {
            const QStringList lines = messageLines(result.error);
            writeLine(stderr, label + QStringLiteral(": FAILED: ") + lines.value(0));
            for (qsizetype n = 1; n < lines.size(); ++n)
                writeLine(stderr, label + QStringLiteral(": ") + lines.at(n));
        }
    }
    if (Interrupted())
        return CliInterrupted;
    return allOk ? CliSuccess : CliDeviceFailed;
}
