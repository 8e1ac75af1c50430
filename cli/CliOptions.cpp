#include "cli/CliOptions.h"

#include "cli/CliMain.h"
#include "cli/CliOutput.h"
#include "core/SendableText.h"
#include "core/links/ComPorts.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>

namespace {

const char *const HelpText =
    "Configures, queries and re-flashes Mirto devices from scripts.\n"
    "\n"
    "Commands:\n"
    "  ports                    the numbered ports (COMn -> device), the USB cable marked\n"
    "  ports add COMn rfc2217://HOST:PORT   number a port on a serial server (RFC 2217)\n"
    "  ports remove COMn        remove a serial server's number\n"
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
    "failed device's object has \"error\" (what happened) and \"reason\", one of:\n"
    "%1.\n"
    "\n"
    "send takes printable single-byte (Latin-1) characters other than '>' only, as the\n"
    "window's command line; a command file is checked whole before its first line goes out.\n"
    "It prints each answer as the device sent it, the same over every link.\n"
    "\n"
    "Production lines: --ports-from and --hosts-from read the devices from a list, --serial\n"
    "finds a device by its serial number, --jobs and --max-failures pace the run, --journal\n"
    "records each device's result as it ends and --resume skips those already done. An update\n"
    "identifies the device before and after: another serial number afterwards is a failure.\n"
    "Every program and update is recorded in $XDG_STATE_HOME/mirto/audit.jsonl\n"
    "(~/.local/state/mirto/audit.jsonl).\n"
    "\n"
    "--junit FILE writes a JUnit XML report for CI job engines as the run ends, also when it\n"
    "is interrupted: one test case a device, its failure with the reason word and message.\n"
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
    "     cannot send, a journal that cannot be written or, with --resume, read, a --junit\n"
    "     report that cannot be made; with --plan, any reason the run cannot go); nothing was sent\n"
    "  3  the configuration, HEX or command file cannot be used; nothing was sent\n"
    "  4  the tool failed on its own: a ports folder it cannot make (no device's result is\n"
    "     known), or a --junit report it could not write as the run ended\n"
    "  130  interrupted (Ctrl+C or SIGTERM): no device started since, updates aborted";

// The reason words, as many a line as fit in the help's width.
QString reasonList()
{
    constexpr qsizetype Width = 88;
    QStringList lines {QStringLiteral(" ")};
    for (const QString &word : CliReason::All) {
        const QString item = QLatin1Char(' ') + word + (word == CliReason::All.constLast() ? QString() : QStringLiteral(","));
        if (lines.constLast().size() + item.size() > Width)
            lines << QStringLiteral(" ");
        lines.last() += item;
    }
    return lines.join(QLatin1Char('\n'));
}

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

bool positiveNumber(const QCommandLineParser &parser, const QString &name, int &value, QString &problem)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    value = parser.value(name).toInt(&ok);
    if (ok && value >= 1 && value <= 100000)
        return true;
    problem = QStringLiteral("--%1 takes a number from 1 to 100000").arg(name);
    return false;
}


void addFleetOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {QStringLiteral("serial"),
         QStringLiteral("The device with serial number SN, wherever it is: every numbered port (the USB cable's "
                        "too) is identified at once and the job runs on the one device that answers with SN; none "
                        "or several is a failure (repeatable). A port without a number, other than the USB "
                        "cable's, is not looked at."),
         QStringLiteral("SN")},
        {QStringLiteral("ports-from"), QStringLiteral("Serial ports from FILE, one a line, # starts a comment."),
         QStringLiteral("FILE")},
        {QStringLiteral("hosts-from"), QStringLiteral("Network devices from FILE, one a line, # starts a comment."),
         QStringLiteral("FILE")},
        {QStringLiteral("jobs"), QStringLiteral("At most N devices at once (default: all)."), QStringLiteral("N")},
        {QStringLiteral("max-failures"),
         QStringLiteral("Start no new device once K have failed; the rest are reported as not started."),
         QStringLiteral("K")},
        {QStringLiteral("journal"),
         QStringLiteral("Append each device's result to FILE (JSON Lines, synced to the disk) as it ends."),
         QStringLiteral("FILE")},
        {QStringLiteral("resume"),
         QStringLiteral("With --journal: skip the devices whose last result there for the same command and "
                        "file (by SHA-256) succeeded.")},
    });
}

bool readFleetOptions(const QCommandLineParser &parser, FleetOptions &options, QString &problem)
{
    options.serials = parser.values(QStringLiteral("serial"));
    for (QString &serial : options.serials) {
        serial = serial.trimmed();
        if (serial.isEmpty() || serial.size() > 16) {
            problem = QStringLiteral("--serial takes a serial number (1 to 16 characters)");
            return false;
        }
    }
    if (options.serials.removeDuplicates() > 0) {
        problem = QStringLiteral("the same serial number is named twice");
        return false;
    }
    if (!positiveNumber(parser, QStringLiteral("jobs"), options.jobs, problem)
        || !positiveNumber(parser, QStringLiteral("max-failures"), options.maxFailures, problem))
        return false;
    options.journal = parser.value(QStringLiteral("journal"));
    options.resume = parser.isSet(QStringLiteral("resume"));
    if (options.resume && options.journal.isEmpty()) {
        problem = QStringLiteral("--resume needs --journal FILE");
        return false;
    }
    return true;
}

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QString::fromLatin1(HelpText).arg(reasonList()));
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
        {QStringLiteral("wait-for-port"),
         QStringLiteral("A serial port another program holds (the window, another run) is waited for up to "
                        "SECONDS, and the job goes on as soon as it is free, instead of failing at once."),
         QStringLiteral("SECONDS")},
        {QStringLiteral("junit"),
         QStringLiteral("Write a JUnit XML report of the run to FILE as it ends (also when interrupted): a test "
                        "case a device, named by its serial number when known; devices not started are skipped."),
         QStringLiteral("FILE")},
        {QStringLiteral("plan"),
         QStringLiteral("Print what the run would do, device by device and step by step, and which devices "
                        "--resume skips; open no port. Exit status 0 when it can run, 2 when not.")},
    });
    addFleetOptions(parser);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ports, identify, send, program or update"));
}

// Texts for send, by the rule every sender keeps. Nothing is changed on the
// way: what cannot go out as typed does not go out.
bool checkSendTexts(const QStringList &texts, QString &problem)
{
    for (const QString &text : texts) {
        const SendableFault fault = CheckSendableLine(text);
        if (fault.IsFault()) {
            problem = QStringLiteral("'%1': %2").arg(text, fault.Message());
            return false;
        }
    }
    return true;
}

// The command and its words as the request every device gets.
bool readRequest(const QCommandLineParser &parser, CliCommandLine &line, QString &problem)
{
    CliRequest &request = line.request;
    const QString &command = line.command;
    const QStringList &words = line.words;
    if (command == QLatin1String("identify")) {
        request.command = CliRequest::Command::Identify;
        if (!words.isEmpty()) {
            problem = QStringLiteral("identify takes no arguments");
            return false;
        }
    } else if (command == QLatin1String("send")) {
        request.command = CliRequest::Command::Send;
        if (parser.isSet(QStringLiteral("file"))) {
            line.commandFile = parser.value(QStringLiteral("file"));
            if (!words.isEmpty()) {
                problem = QStringLiteral("send takes commands or --file, not both");
                return false;
            }
        } else if (words.isEmpty()) {
            problem = QStringLiteral("send wants at least one command or --file FILE");
            return false;
        }
        if (!checkSendTexts(words, problem))
            return false;
        request.texts = words;
    } else if (command == QLatin1String("program") || command == QLatin1String("update")) {
        request.command = command == QLatin1String("program") ? CliRequest::Command::Program : CliRequest::Command::Update;
        if (words.size() != 1) {
            problem = command + QStringLiteral(" wants one file");
            return false;
        }
        request.file = words.constFirst();
    } else {
        problem = QStringLiteral("unknown command '%1'").arg(command);
        return false;
    }
    if (parser.isSet(QStringLiteral("file")) && request.command != CliRequest::Command::Send) {
        problem = QStringLiteral("--file goes with send only");
        return false;
    }
    request.reset = parser.isSet(QStringLiteral("reset"));
    bool waitOk = false;
    const int waitSeconds = parser.value(QStringLiteral("wait")).toInt(&waitOk);
    if (!waitOk || waitSeconds < 1 || waitSeconds > 3600) {
        problem = QStringLiteral("--wait takes 1 to 3600 seconds");
        return false;
    }
    request.powerCycleWaitMs = waitSeconds * 1000;
    if (parser.isSet(QStringLiteral("wait-for-port"))) {
        bool portWaitOk = false;
        request.portWaitSeconds = parser.value(QStringLiteral("wait-for-port")).toInt(&portWaitOk);
        if (!portWaitOk || request.portWaitSeconds < 1 || request.portWaitSeconds > 86400) {
            problem = QStringLiteral("--wait-for-port takes 1 to 86400 seconds");
            return false;
        }
    }
    return true;
}

// The devices named by port, address, list file or the USB cable; none named
// twice, and none the command cannot serve.
bool readTargets(const QCommandLineParser &parser, CliCommandLine &line, QString &problem)
{
    QStringList portTexts = parser.values(QStringLiteral("port"));
    QStringList hostTexts = parser.values(QStringLiteral("host"));
    if (!readFleetOptions(parser, line.fleet, problem)
        || !ReadListFile(parser.value(QStringLiteral("ports-from")), portTexts, problem)
        || !ReadListFile(parser.value(QStringLiteral("hosts-from")), hostTexts, problem))
        return false;
    QList<CliTarget> &targets = line.targets;
    for (const QString &text : std::as_const(portTexts)) {
        CliTarget target;
        if (!parsePort(text, target, problem))
            return false;
        targets << target;
    }
    for (const QString &text : std::as_const(hostTexts)) {
        CliTarget target;
        if (!parseHost(text, target)) {
            problem = QStringLiteral("'%1' is no address: give ADDRESS or ADDRESS:PORT").arg(text);
            return false;
        }
        targets << target;
    }
    if (parser.isSet(QStringLiteral("usb"))) {
        CliTarget target;
        target.kind = CliTarget::Kind::Usb;
        targets << target;
    }
    if (targets.isEmpty() && line.fleet.serials.isEmpty()) {
        problem = QStringLiteral("name a device with --port, --usb, --host or --serial");
        return false;
    }
    // Two jobs on one device would fight over its link.
    for (qsizetype i = 0; i < targets.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (deviceKey(targets.at(i)) == deviceKey(targets.at(j))) {
                problem = QStringLiteral("%1 and %2 name the same device").arg(targets.at(j).Label(), targets.at(i).Label());
                return false;
            }
        }
    }
    if (line.request.command == CliRequest::Command::Update) {
        for (const CliTarget &target : std::as_const(targets)) {
            if (target.kind == CliTarget::Kind::Network) {
                problem = QStringLiteral("Firmware updates need the serial or USB cable; --host cannot be updated.");
                return false;
            }
        }
    }
    return true;
}

} // namespace

int CliUsage(const QString &problem)
{
    CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + problem);
    CliWriteLine(stderr, QStringLiteral("Try 'mirto-cli --help'."));
    return CliBadUsage;
}

std::optional<int> ReadCommandLine(const QStringList &arguments, CliCommandLine &line)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments))
        return CliUsage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        CliWriteLine(stdout, parser.helpText());
        return CliSuccess;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        CliWriteLine(stdout, QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return CliSuccess;
    }
    line.json = parser.isSet(QStringLiteral("json"));
    line.plan = parser.isSet(QStringLiteral("plan"));
    line.junit = parser.value(QStringLiteral("junit"));
    line.words = parser.positionalArguments();
    if (line.words.isEmpty())
        return CliUsage(QStringLiteral("no command given"));
    line.command = line.words.takeFirst();
    if (line.command == QLatin1String("ports"))
        return std::nullopt;
    QString problem;
    if (!readRequest(parser, line, problem) || !readTargets(parser, line, problem))
        return CliUsage(problem);
    return std::nullopt;
}

bool ReadListFile(const QString &path, QStringList &entries, QString &problem)
{
    if (path.isEmpty())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        const qsizetype comment = line.indexOf(QLatin1Char('#'));
        if (comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
        if (!line.isEmpty())
            entries << line;
    }
    return true;
}

