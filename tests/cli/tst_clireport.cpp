#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"

#include <QDir>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <csignal>

// mirto-cli's JUnit report as a CI engine reads it after a run: one case a
// device, written however the run ended.
class tst_clireport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reportOfAFailedRun_data();
    void reportOfAFailedRun();
    void refusedWhenTheReportCannotBeMade_data();
    void refusedWhenTheReportCannotBeMade();
    void reportThatCannotBeWrittenIsTheToolsFailure();
    void interruptedRunIsReported_data();
    void interruptedRunIsReported();
};

namespace {

QString Field(const QJsonObject &testCase, const char *key)
{
    return testCase.value(QLatin1String(key)).toVariant().toString();
}

} // namespace

void tst_clireport::reportOfAFailedRun_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<bool>("namedBySerial"); // else by its port
    QTest::addColumn<QString>("output");     // in the passed case's system-out
    QTest::newRow("identify") << QStringList {"identify"} << true << "serial number 12AB3, software ";
    QTest::newRow("send") << QStringList {"send", "ver"} << false << "> ver\n";
}

void tst_clireport::reportOfAFailedRun()
{
    // One device does the job, the next cannot be opened, and with
    // --max-failures 1 the last is never started.
    QFETCH(QStringList, command);
    QFETCH(bool, namedBySerial);
    QFETCH(QString, output);
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp", "--serial", "12AB3"});
    QVERIFY(sim.comPort() > 0);
    PtyDevice later;
    QVERIFY(later.isValid());
    const QString laterPort = QStringLiteral("COM%1").arg(later.registerAs());
    const QString report = env.filePath("report.xml");
    const CliRun run = RunCli(QStringList {"--jobs", "1", "--max-failures", "1", "--port", ComName(sim), "--port",
                                           "COM97", "--port", laterPort, "--junit", report}
                              + command);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(later.read(200), QByteArray());

    QString problem;
    const QList<QJsonObject> cases = ReadJunitCases(report, problem);
    QVERIFY2(cases.size() == 3, qPrintable(problem));
    for (const QJsonObject &testCase : cases)
        QCOMPARE(Field(testCase, "classname"), command.constFirst());
    QCOMPARE(Field(cases[0], "name"), namedBySerial ? QStringLiteral("12AB3") : ComName(sim));
    QCOMPARE(Field(cases[0], "outcome"), QStringLiteral("passed"));
    QVERIFY(cases[0].value("time").toDouble() > 0);
    QVERIFY2(Field(cases[0], "output").contains(output), qPrintable(Field(cases[0], "output")));
    QCOMPARE(Field(cases[1], "name"), QStringLiteral("COM97"));
    QCOMPARE(Field(cases[1], "outcome"), QStringLiteral("failed"));
    QCOMPARE(Field(cases[1], "type"), QStringLiteral("cannot-open"));
    QVERIFY2(Field(cases[1], "message").startsWith("cannot-open: "), qPrintable(Field(cases[1], "message")));
    QCOMPARE(Field(cases[2], "name"), laterPort);
    QCOMPARE(Field(cases[2], "outcome"), QStringLiteral("skipped"));
    QVERIFY2(Field(cases[2], "message").startsWith("Not started: "), qPrintable(Field(cases[2], "message")));
}

void tst_clireport::refusedWhenTheReportCannotBeMade_data()
{
    QTest::addColumn<QString>("report"); // in the start directory
    QTest::addColumn<QString>("told");
    QTest::newRow("missing folder") << "no/such/report.xml" << "No such file or directory";
    QTest::newRow("a directory") << "folder" << "Is a directory";
    QTest::newRow("a path under a file") << "file/report.xml" << "Not a directory";
}

void tst_clireport::refusedWhenTheReportCannotBeMade()
{
    // Known before the run: nothing is sent that could not be reported.
    QFETCH(QString, report);
    QFETCH(QString, told);
    StartDirectoryEnv env;
    QVERIFY(QDir().mkpath(env.filePath("folder")));
    env.writeFile("file", "a file");
    PtyDevice device;
    QVERIFY(device.isValid());
    const CliRun run = RunCli({"--port", QStringLiteral("COM%1").arg(device.registerAs()), "--junit",
                               env.filePath(report), "send", "ver"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith("mirto-cli: The JUnit report " + env.filePath(report) + " cannot be written: " + told)
                 && run.err.contains("nothing was sent"),
             qPrintable(run.err));
    QCOMPARE(device.read(200), QByteArray());
}

void tst_clireport::reportThatCannotBeWrittenIsTheToolsFailure()
{
    // The report's folder goes while the device is asked: the run's results
    // are said, and the missing report is the tool's own failure.
    StartDirectoryEnv env;
    QVERIFY(QDir().mkpath(env.filePath("out")));
    PtyDevice quiet;
    QVERIFY(quiet.isValid());
    QProcess cli;
    cli.start(QStringLiteral(MIRTO_CLI_PATH), {"--port", QStringLiteral("COM%1").arg(quiet.registerAs()), "--junit",
                                               env.filePath("out/report.xml"), "identify"});
    QVERIFY(!quiet.read(30000).isEmpty());
    QVERIFY(QDir(env.filePath("out")).removeRecursively());
    QVERIFY(cli.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(cli.readAllStandardError());
    QCOMPARE(cli.exitCode(), 4);
    QVERIFY2(err.contains("FAILED: ") && err.contains("mirto-cli: The JUnit report " + env.filePath("out/report.xml")
                                                      + " cannot be written: "),
             qPrintable(err));
}

void tst_clireport::interruptedRunIsReported_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl+C") << int(SIGINT);
    QTest::newRow("a job engine's cancel") << int(SIGTERM);
}

void tst_clireport::interruptedRunIsReported()
{
    // The update in progress is stopped, the next device never starts; the
    // journal and the report say both.
    QFETCH(int, signal);
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp", "--line-rate", "9600"});
    QVERIFY(sim.comPort() > 0);
    PtyDevice later;
    QVERIFY(later.isValid());
    const QString laterPort = QStringLiteral("COM%1").arg(later.registerAs());
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 40000, 1)}));
    const QString report = env.filePath("report.xml");
    const QString journal = env.filePath("run.jsonl");
    QProcess cli;
    cli.start(QStringLiteral(MIRTO_CLI_PATH), {"--jobs", "1", "--port", ComName(sim), "--port", laterPort, "--reset",
                                               "--journal", journal, "--junit", report, "update", env.filePath("fw.hex")});
    QVERIFY(cli.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()).contains("page "), 30000);
    ::kill(pid_t(cli.processId()), signal);
    QVERIFY(cli.waitForFinished(30000));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 130);
    QCOMPARE(later.read(200), QByteArray());

    QFile file(journal);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QJsonObject> lines = JsonLines(QString::fromUtf8(file.readAll()));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].value("reason").toString(), QString("interrupted"));
    QCOMPARE(lines[1].value("reason").toString(), QString("not-started"));

    QString problem;
    const QList<QJsonObject> cases = ReadJunitCases(report, problem);
    QVERIFY2(cases.size() == 2, qPrintable(problem));
    QCOMPARE(Field(cases[0], "outcome"), QStringLiteral("failed"));
    QCOMPARE(Field(cases[0], "type"), QStringLiteral("interrupted"));
    QVERIFY2(Field(cases[0], "message").contains("Interrupted after page"), qPrintable(Field(cases[0], "message")));
    QCOMPARE(Field(cases[1], "name"), laterPort);
    QCOMPARE(Field(cases[1], "outcome"), QStringLiteral("skipped"));
    QCOMPARE(Field(cases[1], "message"), QStringLiteral("Not started: the run was interrupted"));
}

QTEST_GUILESS_MAIN(tst_clireport)
#include "tst_clireport.moc"
