#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"

#include "core/links/ComPorts.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

// The command-line companion as a script runs it: a whole process against
// simulated devices, judged by its exit status and what it prints.
class tst_cli : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void identify_data();
    void identify();
    void sendPrintsTheAnswers();
    void programsTheDevice_data();
    void programsTheDevice();
    void updatesTheFirmware_data();
    void updatesTheFirmware();
    void missingPromptFails();
    void commandFileStopsAtTheLineWithoutPrompt_data();
    void commandFileStopsAtTheLineWithoutPrompt();
    void commandFileSkipsTheByteOrderMark();
    void badFileSendsNothing_data();
    void badFileSendsNothing();
    void badUsage_data();
    void badUsage();
    void severalDevicesAtOnce();
    void failuresSayWhatHappened_data();
    void failuresSayWhatHappened();
    void refusedBeforeAnythingIsSent_data();
    void refusedBeforeAnythingIsSent();
    void answersAsTheDeviceSentThem_data();
    void answersAsTheDeviceSentThem();
    void progressOfSeveralDevices_data();
    void progressOfSeveralDevices();
    void messagesKeepTheirLines();
    void toolErrorsEndCleanly();
    void needsNoDisplay();
    void helpListsTheManualsReasons();
};

namespace {

QString Host(const SimProcess &sim)
{
    return QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort());
}

// The simulator's options for the link a case drives: TCP or its serial link.
QStringList SimLink(bool network)
{
    return network ? QStringList {"--tcp-port", "0"} : QStringList {"--no-tcp"};
}

// mirto-cli's options that name the simulator on that link.
QStringList DeviceOptions(const SimProcess &sim, bool network)
{
    return network ? QStringList {"--host", Host(sim)} : QStringList {"--port", ComName(sim)};
}

const QByteArray kConfig = "12345\r\n0\r\ntype=TE\r\nmode=3\r\nwebmethod=F\r\n"
                           "IPAddress=192.0.2.10\r\nGateway=192.0.2.1\r\nDNS1=0.0.0.0\r\nDNS2=0.0.0.0\r\n"
                           "Network=F\r\nch1name=\"Radio One\"\r\nch1url=http://192.0.2.7:8000/one\r\n"
                           "ch2name=Jazz\r\nch2url=http://192.0.2.7/jazz.m3u\r\n";

} // namespace

void tst_cli::identify_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("serial") << "COMn";
    QTest::newRow("tcp") << "host";
    QTest::newRow("device path") << "path";
}

void tst_cli::identify()
{
    QFETCH(QString, how);
    StartDirectoryEnv env;
    SimProcess sim({"--tcp-port", "0", "--serial", "54321", "--software", "4.1.7"});
    QVERIFY2(sim.comPort() > 0 && sim.tcpPort() > 0, qPrintable(sim.banner()));
    const QStringList device = how == "host"   ? QStringList {"--host", Host(sim)}
                               : how == "path" ? QStringList {"--port", ComPortTarget(sim.comPort())}
                                               : QStringList {"--port", ComName(sim)};
    const CliRun run = RunCli(device + QStringList {"identify"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QString("serial number 54321, software version 4.1.7\n"));
    const CliRun json = RunCli(device + QStringList {"--json", "identify"});
    const QJsonObject line = JsonLines(json.out).value(0);
    QCOMPARE(line.value("serial").toString(), QString("54321"));
    QCOMPARE(line.value("version").toString(), QString("4.1.7"));
    QVERIFY(line.value("ok").toBool());
}

void tst_cli::sendPrintsTheAnswers()
{
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp", "--pieces", "7"});
    const CliRun run = RunCli({"--port", ComName(sim), "send", "ver", "mode"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("V: ") && run.out.contains("Mode"), qPrintable(run.out));
    QVERIFY(run.out.indexOf("V: ") < run.out.indexOf("Mode"));
}

void tst_cli::programsTheDevice_data()
{
    QTest::addColumn<bool>("network");
    QTest::newRow("serial") << false;
    QTest::newRow("tcp") << true;
}

void tst_cli::programsTheDevice()
{
    QFETCH(bool, network);
    StartDirectoryEnv env;
    env.writeFile("studio.cfg", kConfig);
    SimProcess sim({"--tcp-port", "0"});
    const QStringList device = DeviceOptions(sim, network);
    const CliRun run = RunCli(device + QStringList {"program", env.filePath("studio.cfg")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("Programming Mode\n") && run.out.endsWith("Programming OK\n"), qPrintable(run.out));
    // What the device holds now, by its own read-outs.
    const CliRun check = RunCli(device + QStringList {"send", "mode", "channel"});
    QVERIFY2(check.out.contains("Mode                : 3"), qPrintable(check.out));
    QVERIFY(check.out.contains("Channel 0 name: Radio One"));
    QVERIFY(check.out.contains("Channel 1 url : http://192.0.2.7/jazz.m3u"));
}

void tst_cli::updatesTheFirmware_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("identified");
    QTest::newRow("ready at once") << QStringList() << true;
    // Its greeting's prompt is no answer to "snum": the version is read once
    // the device is ready.
    QTest::newRow("greets a second after the update") << QStringList({"--greet-after-update"}) << true;
    // A device that never says who it is after the update is no success
    // with an unknown version.
    QTest::newRow("never identifies itself") << QStringList({"--no-serial-word"}) << false;
}

void tst_cli::updatesTheFirmware()
{
    QFETCH(QStringList, options);
    QFETCH(bool, identified);
    StartDirectoryEnv env;
    QTemporaryDir dir;
    const QString written = dir.filePath("written.bin");
    SimProcess sim(QStringList({"--no-tcp", "--line-rate", "0", "--page-size", "256", "--image", written,
                                "--software-after-update", "4.2.0"})
                   + options);
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    const hexfix::Span data = hexfix::Filled(0, 5000, 3);
    env.writeFile("fw.hex", hexfix::HexText({data}));
    const CliRun run = RunCli({"--port", ComName(sim), "--reset", "--json", "update", env.filePath("fw.hex")});
    // The result comes after the progress objects.
    const QJsonObject line = JsonLines(run.out).value(JsonLines(run.out).size() - 1);
    if (identified) {
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(line.value("ok").toBool(), qPrintable(run.out + run.err));
        QCOMPARE(line.value("version").toString(), QString("4.2.0"));
    } else {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(!line.value("ok").toBool(), qPrintable(run.out + run.err));
        QVERIFY(!run.out.contains("?????"));
        QVERIFY2((run.out + run.err).contains("did not identify itself"), qPrintable(run.out + run.err));
    }
    QFile image(written);
    QVERIFY(image.open(QIODevice::ReadOnly));
    const QByteArray flashed = image.readAll();
    QVERIFY(flashed.size() >= data.bytes.size());
    QCOMPARE(flashed.left(data.bytes.size()), data.bytes);
}

void tst_cli::missingPromptFails()
{
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp", "--withhold", "mode"});
    const CliRun run = RunCli({"--port", ComName(sim), "send", "ver", "mode", "channel"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(ComName(sim) + ": FAILED: No response from Mirto"), qPrintable(run.err));
    QVERIFY(!run.out.contains("Channel")); // stopped at the command without an answer
}

void tst_cli::commandFileStopsAtTheLineWithoutPrompt_data()
{
    QTest::addColumn<bool>("network");
    QTest::newRow("serial") << false;
    QTest::newRow("tcp") << true;
}

void tst_cli::commandFileStopsAtTheLineWithoutPrompt()
{
    QFETCH(bool, network);
    StartDirectoryEnv env;
    // Comments and empty lines are not sent and do not count; CR LF files work.
    QVERIFY(env.writeFile("session.txt", "# bring-up\r\nver\r\n\r\n   \nmode\n#help is next\nhelp\n"));
    const QString path = env.filePath("session.txt");
    {
        SimProcess sim(SimLink(network) + QStringList {"--withhold", "mode"});
        const QStringList device = DeviceOptions(sim, network);
        const CliRun run = RunCli(device + QStringList {"send", "--file", path});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("V: "), qPrintable(run.out));
        QVERIFY2(!run.out.contains("Commands:"), qPrintable(run.out)); // the run ended at mode
        QVERIFY2(run.err.contains("Command file: 2 of 3 lines sent, 1 without prompt; stopped: no prompt after "
                                  "line 5 \"mode\"."),
                 qPrintable(run.err));
        const QJsonObject json = JsonLines(RunCli(device + QStringList {"--json", "send", "--file", path}).out).value(0);
        QCOMPARE(json.value("sent").toInt(), 2);
        QCOMPARE(json.value("withoutPrompt").toInt(), 1);
        QVERIFY(!json.value("ok").toBool());
        QCOMPARE(json.value("reason").toString(), QString("no-response"));
    }
    SimProcess sim(SimLink(network));
    const CliRun run = RunCli(DeviceOptions(sim, network) + QStringList {"send", "--file", path});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.indexOf("V: ") < run.out.indexOf("Mode") && run.out.contains("Commands:"), qPrintable(run.out));
    QVERIFY2(run.out.endsWith("Command file: 3 of 3 lines sent, 0 without prompt; done.\n"), qPrintable(run.out));
}

void tst_cli::commandFileSkipsTheByteOrderMark()
{
    // A file saved by an editor that marks UTF-8: its first line is still a
    // comment, not a command.
    StartDirectoryEnv env;
    QVERIFY(env.writeFile("session.txt", "\xEF\xBB\xBF# bring-up\nver\n"));
    SimProcess sim({"--no-tcp"});
    const CliRun run = RunCli({"--port", ComName(sim), "--json", "send", "--file", env.filePath("session.txt")});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject result = JsonLines(run.out).value(0);
    QCOMPARE(result.value("sent").toInt(), 1);
    QCOMPARE(result.value("answers").toArray().at(0).toObject().value("command").toString(), QString("ver"));
}

void tst_cli::badFileSendsNothing_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("told"); // part of the message, where it matters
    QTest::newRow("configuration of garbage") << "program" << QByteArray("garbage\n\x01\x02") << QString();
    QTest::newRow("configuration missing") << "program" << QByteArray() << QString();
    // The file loads, but the device would take the '>' for its prompt.
    QTest::newRow("configuration with a '>' in a channel name")
        << "program" << QByteArray(kConfig).replace("ch2name=Jazz", "ch2name=Rock>Pop")
        << "Ch2Name, character 5: \">\" cannot be sent";
    QTest::newRow("HEX with a bad checksum") << "update" << QByteArray(":0100000000FE\n:00000001FF\n") << QString();
    QTest::newRow("command file of comments only") << "send" << QByteArray("# nothing to send\n\n#\n") << QString();
    QTest::newRow("command file missing") << "send" << QByteArray() << QString();
    QTest::newRow("command file with a line too long")
        << "send" << QByteArray("ver\n") + QByteArray(1023, 'a') + "\n" << QString();
    // The whole file is checked before its first line goes out.
    QTest::newRow("command file with a euro sign")
        << "send" << QByteArray("ver\nch1name Radio \xE2\x82\xACuro\n") << "Line 2, character 15: \"€\" (U+20AC)";
    QTest::newRow("command file with an escape")
        << "send" << QByteArray("ver\n\x1B[2J\n") << "Line 2, character 1: ESC (U+001B)";
    QTest::newRow("command file with a prompt mark")
        << "send" << QByteArray("ver\nch1name Rock>Pop\n") << "Line 2, character 13: \">\"";
}

void tst_cli::badFileSendsNothing()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, content);
    QFETCH(QString, told);
    StartDirectoryEnv env;
    PtyDevice device;
    QVERIFY(device.isValid());
    const int port = device.registerAs();
    if (!content.isEmpty())
        env.writeFile("file", content);
    const QStringList file = command == "send" ? QStringList {"--file", env.filePath("file")}
                                               : QStringList {env.filePath("file")};
    const CliRun run = RunCli(QStringList {"--port", QStringLiteral("COM%1").arg(port), command} + file);
    QCOMPARE(run.exitCode, 3);
    QVERIFY(!run.err.isEmpty());
    QVERIFY2(run.err.contains(told), qPrintable(run.err));
    QCOMPARE(device.read(200), QByteArray());
}

void tst_cli::badUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no command") << QStringList {"--port", "COM1"};
    QTest::newRow("no device") << QStringList {"identify"};
    QTest::newRow("unknown command") << QStringList {"--port", "COM1", "format"};
    QTest::newRow("not a port") << QStringList {"--port", "ttyS0", "identify"};
    QTest::newRow("a path that is no device") << QStringList {"--port", "/etc/passwd", "identify"};
    QTest::newRow("update over the network") << QStringList {"--host", "127.0.0.1", "update", "x.hex"};
    QTest::newRow("a command of two lines") << QStringList {"--port", "COM1", "send", "ver\nreset"};
    QTest::newRow("a command file for identify") << QStringList {"--port", "COM1", "--file", "x", "identify"};
    QTest::newRow("commands and a command file") << QStringList {"--port", "COM1", "send", "--file", "x", "ver"};
}

void tst_cli::badUsage()
{
    QFETCH(QStringList, arguments);
    StartDirectoryEnv env;
    const CliRun run = RunCli(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.err.startsWith("mirto-cli: "));
}

void tst_cli::severalDevicesAtOnce()
{
    // Two devices that answer, one on a pseudo-terminal and one over TCP,
    // and silent ones between them. Each has its own result line and the
    // exit status says one failed.
    constexpr int Silent = 10;
    StartDirectoryEnv env;
    SimProcess first({"--no-tcp", "--serial", "11111"});
    QVERIFY(first.comPort() > 0);
    QStringList arguments = {"--json", "--port", ComName(first)};
    std::vector<std::unique_ptr<SimProcess>> silent;
    for (int i = 0; i < Silent; ++i) {
        silent.push_back(std::make_unique<SimProcess>(QStringList({"--no-tcp", "--silent"})));
        QVERIFY(silent.back()->comPort() > 0);
        arguments << "--port" << ComName(*silent.back());
    }
    SimProcess networked({"--tcp-port", "0", "--serial", "33333"});
    QVERIFY(networked.tcpPort() > 0);
    arguments << "--host" << Host(networked) << "identify";
    QElapsedTimer clock;
    clock.start();
    const CliRun run = RunCli(arguments);
    QCOMPARE(run.exitCode, 1);
    const QList<QJsonObject> lines = JsonLines(run.out);
    QCOMPARE(lines.size(), Silent + 2);
    QCOMPARE(lines[0].value("device").toString(), ComName(first));
    QCOMPARE(lines[0].value("serial").toString(), QString("11111"));
    for (int i = 1; i <= Silent; ++i) {
        QCOMPARE(lines[i].value("device").toString(), ComName(*silent[std::size_t(i - 1)]));
        QVERIFY(!lines[i].value("ok").toBool());
        QVERIFY(lines[i].value("error").toString().contains("No response from Mirto"));
    }
    QCOMPARE(lines[Silent + 1].value("serial").toString(), QString("33333"));
    // At once: one after another, the silent devices would take a prompt's
    // time-out each; side by side they take one, far below this bound.
    QVERIFY2(clock.elapsed() < Silent * DeviceConnection::PromptTimeoutMs,
             qPrintable(QString::number(clock.elapsed())));
}

void tst_cli::failuresSayWhatHappened_data()
{
    QTest::addColumn<QStringList>("simArguments");
    QTest::addColumn<bool>("network");
    QTest::addColumn<QStringList>("cliArguments");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("error");
    const QStringList boot {"--line-rate", "0", "--page-size", "256"};
    QTest::newRow("update refused four times, boot loader quiet")
        << (boot + QStringList {"--refuse", "3", "--refuse-times", "4", "--mute-after-abort"}) << false
        << QStringList {"--reset", "update", "fw.hex"} << "update-failed" << "aborted";
    QTest::newRow("identify without a serial number")
        << QStringList {"--no-serial-word"} << false << QStringList {"identify"} << "not-identified"
        << "no serial number";
    QTest::newRow("identify, unplugged") << QStringList {"--unplug-at", "snum"} << false
                                         << QStringList {"identify"} << "went-away" << "went away";
    QTest::newRow("identify over tcp, device gone") << QStringList {"--unplug-at", "ver"} << true
                                                    << QStringList {"identify"} << "went-away" << "went away";
    QTest::newRow("send, unplugged") << QStringList {"--unplug-at", "mode"} << false
                                     << QStringList {"send", "ver", "mode"} << "went-away" << "went away";
    QTest::newRow("send over tcp, device gone") << QStringList {"--unplug-at", "mode"} << true
                                                << QStringList {"send", "ver", "mode"} << "went-away" << "went away";
    QTest::newRow("program, unplugged") << QStringList {"--unplug-at", "mode"} << false
                                        << QStringList {"program", "studio.cfg"} << "went-away" << "went away";
    QTest::newRow("update, unplugged") << (boot + QStringList {"--die-at-page", "2"}) << false
                                       << QStringList {"--reset", "update", "fw.hex"} << "went-away" << "went away";
    QTest::newRow("send, silent") << QStringList {"--withhold", "mode"} << false << QStringList {"send", "mode"}
                                  << "no-response" << "No response from Mirto";
    QTest::newRow("command file, unplugged") << QStringList {"--unplug-at", "mode"} << false
                                             << QStringList {"send", "--file", "session.txt"} << "went-away"
                                             << "the link closed at line 2 \"mode\"";
    QTest::newRow("command file over tcp, device gone")
        << QStringList {"--unplug-at", "mode"} << true << QStringList {"send", "--file", "session.txt"} << "went-away"
        << "the link closed at line 2 \"mode\"";
}

void tst_cli::failuresSayWhatHappened()
{
    // Whatever the device does, the run ends with exit status 1 and a
    // reason that names what happened, in text and in --json.
    QFETCH(QStringList, simArguments);
    QFETCH(bool, network);
    QFETCH(QStringList, cliArguments);
    QFETCH(QString, reason);
    QFETCH(QString, error);
    StartDirectoryEnv env;
    env.writeFile("studio.cfg", kConfig);
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 5000, 3)}));
    env.writeFile("session.txt", "ver\nmode\nchannel\n");
    for (QString &argument : cliArguments)
        if (argument.contains('.'))
            argument = env.filePath(argument);
    {
        SimProcess sim(SimLink(network) + simArguments);
        QVERIFY2(network ? sim.tcpPort() > 0 : sim.comPort() > 0, qPrintable(sim.banner()));
        // A failed update ends within the boot loader's 3 s time-out; ten
        // times that is the limit here.
        const CliRun run = RunCli(DeviceOptions(sim, network) + QStringList {"--json"} + cliArguments, 30000);
        QCOMPARE(run.exitCode, 1);
        const QList<QJsonObject> lines = JsonLines(run.out);
        QVERIFY2(!lines.isEmpty(), qPrintable(run.err));
        QVERIFY(!lines.constLast().value("ok").toBool());
        QCOMPARE(lines.constLast().value("reason").toString(), reason);
        QVERIFY2(lines.constLast().value("error").toString().contains(error), qPrintable(run.out));
    }
    SimProcess sim(SimLink(network) + simArguments);
    const CliRun text = RunCli(DeviceOptions(sim, network) + cliArguments, 30000);
    QCOMPARE(text.exitCode, 1);
    QVERIFY2(text.err.contains(": FAILED: ") && text.err.contains(error), qPrintable(text.err));
}

void tst_cli::refusedBeforeAnythingIsSent_data()
{
    QTest::addColumn<QStringList>("arguments"); // {port} stands for the device's COMn, {path} for its path
    QTest::newRow("a character the device cannot take") << QStringList {"--port", "{port}", "send", "ch1name Radio €uro"};
    QTest::newRow("a control character") << QStringList {"--port", "{port}", "send", "ver\treset"};
    QTest::newRow("a prompt mark") << QStringList {"--port", "{port}", "send", "ch1name Rock>Pop"};
    QTest::newRow("one port twice") << QStringList {"--port", "{port}", "--port", "{port}", "send", "ver"};
    QTest::newRow("a port and its path") << QStringList {"--port", "{port}", "--port", "{path}", "send", "ver"};
    QTest::newRow("one address twice")
        << QStringList {"--port", "{port}", "--host", "127.0.0.1:1", "--host", "127.0.0.1:1", "send", "ver"};
}

void tst_cli::refusedBeforeAnythingIsSent()
{
    QFETCH(QStringList, arguments);
    StartDirectoryEnv env;
    PtyDevice device;
    QVERIFY(device.isValid());
    const int port = device.registerAs();
    for (QString &argument : arguments)
        argument.replace("{port}", QStringLiteral("COM%1").arg(port)).replace("{path}", device.slavePath());
    const CliRun run = RunCli(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith("mirto-cli: "), qPrintable(run.err));
    QCOMPARE(device.read(200), QByteArray());
}

void tst_cli::answersAsTheDeviceSentThem_data()
{
    QTest::addColumn<bool>("network");
    QTest::newRow("serial") << false;
    QTest::newRow("tcp") << true;
}

void tst_cli::answersAsTheDeviceSentThem()
{
    // The device marks its event lines with '#'; the window's terminal shows
    // a time stamp there, a script gets the '#' on every link.
    QFETCH(bool, network);
    StartDirectoryEnv env;
    SimProcess sim({"--tcp-port", "0"});
    const QStringList device = DeviceOptions(sim, network);
    const CliRun run = RunCli(device + QStringList {"--json", "send", "mode 2"});
    QCOMPARE(run.exitCode, 0);
    const QString answer =
        JsonLines(run.out).value(0).value("answers").toArray().at(0).toObject().value("answer").toString();
    QVERIFY2(answer.startsWith("# mode changed\r\n"), qPrintable(answer));
    const CliRun text = RunCli(device + QStringList {"send", "mode 3"});
    QVERIFY2(text.out.startsWith("# mode changed\n"), qPrintable(text.out));
}

void tst_cli::progressOfSeveralDevices_data()
{
    QTest::addColumn<bool>("json");
    QTest::newRow("text") << false;
    QTest::newRow("json") << true;
}

void tst_cli::progressOfSeveralDevices()
{
    QFETCH(bool, json);
    StartDirectoryEnv env;
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 5000, 3)}));
    const QStringList boot {"--no-tcp", "--line-rate", "0", "--page-size", "256"};
    SimProcess first(boot);
    SimProcess second(boot);
    QVERIFY(first.comPort() > 0 && second.comPort() > 0);
    const QStringList devices {ComName(first), ComName(second)};
    const CliRun run = RunCli(QStringList {"--port", devices[0], "--port", devices[1], "--reset"}
                        + (json ? QStringList {"--json"} : QStringList {}) + QStringList {"update", env.filePath("fw.hex")});
    QCOMPARE(run.exitCode, 0);
    for (const QString &name : devices) {
        if (json) {
            // Progress objects of this device, the last at the whole file,
            // and its result after them.
            int lastProgress = -1;
            int result = -1;
            const QList<QJsonObject> lines = JsonLines(run.out);
            for (int i = 0; i < lines.size(); ++i) {
                if (lines[i].value("device").toString() != name)
                    continue;
                if (lines[i].value("event").toString() == "progress")
                    lastProgress = i;
                else
                    result = i;
            }
            QVERIFY2(lastProgress >= 0 && result > lastProgress, qPrintable(run.out));
            QCOMPARE(lines[lastProgress].value("page").toInt(), lines[lastProgress].value("pages").toInt());
            QVERIFY(lines[result].value("ok").toBool());
        } else {
            // Not a terminal: a plain line per device at every tenth.
            const QRegularExpression whole(QStringLiteral("(^|\n)%1: page (\\d+) of \\2\n").arg(name));
            QVERIFY2(run.out.contains(whole), qPrintable(run.out));
            QVERIFY(run.out.count(name + ": page ") >= 5);
        }
    }
}

void tst_cli::messagesKeepTheirLines()
{
    StartDirectoryEnv env;
    const CliRun run = RunCli({"--port", "COM97", "identify"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("COM97: FAILED: Error opening Comport: 97\nCOM97: Is the serial cable connected to COM97?"),
             qPrintable(run.err));
    const CliRun path = RunCli({"--port", "/dev/serial/by-id/no-such-mirto", "identify"});
    QCOMPARE(path.exitCode, 1);
    QVERIFY2(path.err.startsWith("/dev/serial/by-id/no-such-mirto: FAILED: Error opening /dev/serial/by-id/no-such-mirto"),
             qPrintable(path.err));
}

void tst_cli::toolErrorsEndCleanly()
{
    // A ports folder that cannot be made: said, no abort, and an exit status
    // of its own: no device failed.
    StartDirectoryEnv env;
    const QString folder = ComPortFolder();
    QDir(folder).removeRecursively();
    QVERIFY(QDir().mkpath(QFileInfo(folder).path()));
    QFile blocker(folder);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const CliRun run = RunCli({"ports"});
    QCOMPARE(run.exitCode, 4);
    QVERIFY2(run.err.startsWith("mirto-cli: The ports folder " + folder + " cannot be used: "), qPrintable(run.err));
    // Named once, with the reason.
    QCOMPARE(run.err.count(folder), 1);
}

void tst_cli::needsNoDisplay()
{
    QProcess ldd;
    ldd.start("ldd", {QStringLiteral(MIRTO_CLI_PATH)});
    if (!ldd.waitForFinished(10000))
        QSKIP("ldd is not available");
    const QString libraries = QString::fromLocal8Bit(ldd.readAllStandardOutput());
    QVERIFY(libraries.contains("libQt6Core"));
    QVERIFY2(!libraries.contains("libQt6Gui") && !libraries.contains("libQt6Widgets"), qPrintable(libraries));
    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
    cli.setProcessEnvironment(environment);
    cli.start(QStringLiteral(MIRTO_CLI_PATH), {"--help"});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY(cli.readAllStandardOutput().contains("Exit status"));
}

void tst_cli::helpListsTheManualsReasons()
{
    // The manual page lists the reason words under --json, each as a bold
    // word of its own line, up to the progress objects of update.
    QFile manual(QStringLiteral(MIRTO_CLI_MANUAL));
    QVERIFY(manual.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(manual.readAll());
    const qsizetype from = page.indexOf(".BR reason :");
    const qsizetype to = page.indexOf(".B update\nwrites progress", from);
    QVERIFY(from > 0 && to > from);
    QStringList manualWords;
    static const QRegularExpression bold(QStringLiteral("^\\.BR? ([a-z]+(?:-[a-z]+)*)\\b"),
                                         QRegularExpression::MultilineOption);
    for (const QRegularExpressionMatch &match : bold.globalMatch(page.mid(from, to - from)))
        manualWords << match.captured(1);
    manualWords.removeAll("reason");
    QVERIFY(manualWords.size() > 5);

    const CliRun help = RunCli({"--help"});
    QCOMPARE(help.exitCode, 0);
    const qsizetype listed = help.out.indexOf("\"reason\", one of:");
    QVERIFY2(listed > 0, qPrintable(help.out));
    const QString list = help.out.mid(listed).section('.', 0, 0).section(':', 1).simplified();
    QStringList helpWords = list.split(", ");
    QCOMPARE(helpWords, manualWords);
}

QTEST_MAIN(tst_cli)
#include "tst_cli.moc"
