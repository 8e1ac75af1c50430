#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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
    void updatesTheFirmware();
    void missingPromptFails();
    void commandFileStopsAtTheLineWithoutPrompt_data();
    void commandFileStopsAtTheLineWithoutPrompt();
    void badFileSendsNothing_data();
    void badFileSendsNothing();
    void badUsage_data();
    void badUsage();
    void severalDevicesAtOnce();
    void needsNoDisplay();
};

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run Cli(const QStringList &arguments, int timeoutMs = 60000)
{
    QProcess process;
    process.start(QStringLiteral(MIRTO_CLI_PATH), arguments);
    Run run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("(did not finish)");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

QString Com(const SimProcess &sim)
{
    return QStringLiteral("COM%1").arg(sim.comPort());
}

QString Host(const SimProcess &sim)
{
    return QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort());
}

QList<QJsonObject> JsonLines(const QString &text)
{
    QList<QJsonObject> objects;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

const QByteArray kConfig = "12345\r\n0\r\ntype=TE\r\nmode=3\r\nwebmethod=F\r\n"
                           "IPAddress=192.0.2.10\r\nGateway=192.0.2.1\r\nDNS1=0.0.0.0\r\nDNS2=0.0.0.0\r\n"
                           "Network=F\r\nch1name=\"Radio One\"\r\nch1url=http://192.0.2.7:8000/one\r\n"
                           "ch2name=Jazz\r\nch2url=http://192.0.2.7/jazz.m3u\r\n";

} // namespace

void tst_cli::identify_data()
{
    QTest::addColumn<bool>("network");
    QTest::newRow("serial") << false;
    QTest::newRow("tcp") << true;
}

void tst_cli::identify()
{
    QFETCH(bool, network);
    StartDirectoryEnv env;
    SimProcess sim({"--tcp-port", "0", "--serial", "54321", "--software", "4.1.7"});
    QVERIFY2(sim.comPort() > 0 && sim.tcpPort() > 0, qPrintable(sim.banner()));
    const Run run = Cli({network ? "--host" : "--port", network ? Host(sim) : Com(sim), "identify"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QString("serial number 54321, software version 4.1.7\n"));
    const Run json = Cli({network ? "--host" : "--port", network ? Host(sim) : Com(sim), "--json", "identify"});
    const QJsonObject line = JsonLines(json.out).value(0);
    QCOMPARE(line.value("serial").toString(), QString("54321"));
    QCOMPARE(line.value("version").toString(), QString("4.1.7"));
    QVERIFY(line.value("ok").toBool());
}

void tst_cli::sendPrintsTheAnswers()
{
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp", "--pieces", "7"});
    const Run run = Cli({"--port", Com(sim), "send", "ver", "mode"});
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
    const QStringList device {network ? "--host" : "--port", network ? Host(sim) : Com(sim)};
    const Run run = Cli(device + QStringList {"program", env.filePath("studio.cfg")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("Programming Mode\n") && run.out.endsWith("Programming OK\n"), qPrintable(run.out));
    // What the device holds now, by its own read-outs.
    const Run check = Cli(device + QStringList {"send", "mode", "channel"});
    QVERIFY2(check.out.contains("Mode                : 3"), qPrintable(check.out));
    QVERIFY(check.out.contains("Channel 0 name: Radio One"));
    QVERIFY(check.out.contains("Channel 1 url : http://192.0.2.7/jazz.m3u"));
}

void tst_cli::updatesTheFirmware()
{
    StartDirectoryEnv env;
    QTemporaryDir dir;
    const QString written = dir.filePath("written.bin");
    SimProcess sim({"--no-tcp", "--line-rate", "0", "--page-size", "256", "--image", written,
                    "--software-after-update", "4.2.0"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    const hexfix::Span data = hexfix::Filled(0, 5000, 3);
    env.writeFile("fw.hex", hexfix::HexText({data}));
    const Run run = Cli({"--port", Com(sim), "--reset", "--json", "update", env.filePath("fw.hex")});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject line = JsonLines(run.out).value(0);
    QVERIFY2(line.value("ok").toBool(), qPrintable(run.out + run.err));
    QCOMPARE(line.value("version").toString(), QString("4.2.0"));
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
    const Run run = Cli({"--port", Com(sim), "send", "ver", "mode", "channel"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(Com(sim) + ": FAILED: No response from Mirto"), qPrintable(run.err));
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
    QTemporaryDir dir;
    const QString path = dir.filePath("session.txt");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // Comments and empty lines are not sent and do not count; CR LF files work.
    file.write("# bring-up\r\nver\r\n\r\n   \nmode\n#help is next\nhelp\n");
    file.close();
    const QStringList link = network ? QStringList {"--tcp-port", "0"} : QStringList {"--no-tcp"};
    {
        SimProcess sim(link + QStringList {"--withhold", "mode"});
        const QString device = network ? Host(sim) : Com(sim);
        const Run run = Cli({network ? "--host" : "--port", device, "send", "--file", path});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("V: "), qPrintable(run.out));
        QVERIFY2(!run.out.contains("Commands:"), qPrintable(run.out)); // the run ended at mode
        QVERIFY2(run.err.contains("Command file: 2 of 3 lines sent, 1 without prompt; stopped: no prompt after "
                                  "line 5 \"mode\"."),
                 qPrintable(run.err));
        const QJsonObject json = JsonLines(Cli({network ? "--host" : "--port", device, "--json", "send", "--file", path}).out).value(0);
        QCOMPARE(json.value("sent").toInt(), 2);
        QCOMPARE(json.value("withoutPrompt").toInt(), 1);
        QVERIFY(!json.value("ok").toBool());
    }
    SimProcess sim(link);
    const Run run = Cli({network ? "--host" : "--port", network ? Host(sim) : Com(sim), "send", "--file", path});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.indexOf("V: ") < run.out.indexOf("Mode") && run.out.contains("Commands:"), qPrintable(run.out));
    QVERIFY2(run.out.endsWith("Command file: 3 of 3 lines sent, 0 without prompt; done.\n"), qPrintable(run.out));
}

void tst_cli::badFileSendsNothing_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("configuration of garbage") << "program" << QByteArray("garbage\n\x01\x02");
    QTest::newRow("configuration missing") << "program" << QByteArray();
    QTest::newRow("HEX with a bad checksum") << "update" << QByteArray(":0100000000FE\n:00000001FF\n");
    QTest::newRow("command file of comments only") << "send" << QByteArray("# nothing to send\n\n#\n");
    QTest::newRow("command file missing") << "send" << QByteArray();
    QTest::newRow("command file with a line too long")
        << "send" << QByteArray("ver\n") + QByteArray(1023, 'a') + "\n";
}

void tst_cli::badFileSendsNothing()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, content);
    StartDirectoryEnv env;
    PtyDevice device;
    QVERIFY(device.isValid());
    const int port = device.registerAs();
    if (!content.isEmpty())
        env.writeFile("file", content);
    const QStringList file = command == "send" ? QStringList {"--file", env.filePath("file")}
                                               : QStringList {env.filePath("file")};
    const Run run = Cli(QStringList {"--port", QStringLiteral("COM%1").arg(port), command} + file);
    QCOMPARE(run.exitCode, 3);
    QVERIFY(!run.err.isEmpty());
    QCOMPARE(device.read(200), QByteArray());
}

void tst_cli::badUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no command") << QStringList {"--port", "COM1"};
    QTest::newRow("no device") << QStringList {"identify"};
    QTest::newRow("unknown command") << QStringList {"--port", "COM1", "format"};
    QTest::newRow("not a port") << QStringList {"--port", "ttyS0", "identify"};
    QTest::newRow("update over the network") << QStringList {"--host", "127.0.0.1", "update", "x.hex"};
    QTest::newRow("a command of two lines") << QStringList {"--port", "COM1", "send", "ver\nreset"};
    QTest::newRow("a command file for identify") << QStringList {"--port", "COM1", "--file", "x", "identify"};
    QTest::newRow("commands and a command file") << QStringList {"--port", "COM1", "send", "--file", "x", "ver"};
}

void tst_cli::badUsage()
{
    QFETCH(QStringList, arguments);
    StartDirectoryEnv env;
    const Run run = Cli(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.err.startsWith("mirto-cli: "));
}

void tst_cli::severalDevicesAtOnce()
{
    // Two devices on pseudo-terminals and one over TCP; the second never
    // answers. Each has its own result line and the exit status says one
    // failed.
    StartDirectoryEnv env;
    SimProcess first({"--no-tcp", "--serial", "11111"});
    SimProcess silent({"--no-tcp", "--silent"});
    SimProcess networked({"--tcp-port", "0", "--serial", "33333"});
    QVERIFY(first.comPort() > 0 && silent.comPort() > 0 && networked.tcpPort() > 0);
    QElapsedTimer clock;
    clock.start();
    const Run run = Cli({"--json", "--port", Com(first), "--port", Com(silent), "--host", Host(networked), "identify"});
    QCOMPARE(run.exitCode, 1);
    const QList<QJsonObject> lines = JsonLines(run.out);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0].value("device").toString(), Com(first));
    QCOMPARE(lines[0].value("serial").toString(), QString("11111"));
    QVERIFY(!lines[1].value("ok").toBool());
    QVERIFY(lines[1].value("error").toString().contains("No response from Mirto"));
    QCOMPARE(lines[2].value("serial").toString(), QString("33333"));
    // At once: the silent device's 4 s do not come on top of the others'.
    QVERIFY2(clock.elapsed() < 7000, qPrintable(QString::number(clock.elapsed())));
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

QTEST_MAIN(tst_cli)
#include "tst_cli.moc"
